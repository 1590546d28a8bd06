# Configuration checks of what a service build trusts. Included by
# service_build.cmake; also runs as a script, for the test that holds these
# checks to the service's own key reader:
#   cmake -DKEYS_FILE=<pem> -P check_public_keys.cmake
if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

# Fails the configuration, naming the key, when the PEM file `keys_file`
# holds a key the service's reader (ReadSigningPublicKeys) refuses; that
# reader would then trust no key of the file at all. Every
# "-----BEGIN PUBLIC KEY-----" block must hold an uncompressed P-256
# SubjectPublicKeyInfo in canonical base64: 91 bytes whose first 27 are fixed
# (the algorithm, the curve and the 0x04 of an uncompressed point), which in
# base64 is 124 characters starting with the 36 below and ending in "==".
function(lumenfeld_check_public_keys keys_file)
  file(READ ${keys_file} text)
  if(NOT text MATCHES "-----BEGIN PUBLIC KEY-----")
    message(FATAL_ERROR "${keys_file} holds no -----BEGIN PUBLIC KEY----- block")
  endif()
  if(text MATCHES "PRIVATE KEY")
    message(FATAL_ERROR "${keys_file} holds a private key; give the public keys only")
  endif()
  set(begin_line "-----BEGIN PUBLIC KEY-----")
  set(end_line "-----END PUBLIC KEY-----")
  string(LENGTH "${begin_line}" begin_length)
  string(LENGTH "${end_line}" end_length)
  set(index 0)
  set(rest "${text}")
  while(TRUE)
    string(FIND "${rest}" "${begin_line}" begin)
    if(begin EQUAL -1)
      break()
    endif()
    math(EXPR index "${index} + 1")
    math(EXPR after "${begin} + ${begin_length}")
    string(SUBSTRING "${rest}" ${after} -1 rest)
    string(FIND "${rest}" "${end_line}" end)
    if(end EQUAL -1)
      message(FATAL_ERROR "key ${index} of ${keys_file}: the block has no end line")
    endif()
    string(SUBSTRING "${rest}" 0 ${end} body)
    string(REGEX REPLACE "[ \t\r\n]" "" body "${body}")
    string(LENGTH "${body}" length)
    if(NOT length EQUAL 124 OR
       NOT body MATCHES "^MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE[A-Za-z0-9+/]+[AQgw]==$")
      message(FATAL_ERROR "key ${index} of ${keys_file}: not an uncompressed P-256 key, which "
        "the service cannot use (a compressed point or another curve); with it the service "
        "would trust no key of this file")
    endif()
    math(EXPR after "${end} + ${end_length}")
    string(SUBSTRING "${rest}" ${after} -1 rest)
  endwhile()
endfunction()

# Fails the configuration unless the host of `url` is loopback: a service
# that acts on unsigned documents may only ever read them from this machine.
function(lumenfeld_require_loopback_cdn url)
  if(NOT url MATCHES "^https?://(localhost|127\\.0\\.0\\.1|\\[::1\\])(:[0-9]+)?$")
    message(FATAL_ERROR "A service without signing keys reads its CDN at ${url}, which is not "
      "loopback (localhost, 127.0.0.1, [::1]): give LUMENFELD_SIGNING_KEYS. Only a test build "
      "for a CDN on this machine may leave signatures unchecked.")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED KEYS_FILE)
  lumenfeld_check_public_keys(${KEYS_FILE})
endif()
