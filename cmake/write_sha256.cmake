# Writes the SHA-256 of FILE, in hexadecimal, to OUTPUT.
# Run as: cmake -DFILE=<file> -DOUTPUT=<file> -P write_sha256.cmake
file(SHA256 ${FILE} hash)
file(WRITE ${OUTPUT} ${hash})
