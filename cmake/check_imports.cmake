# Fails when a program the installer ships is a DLL or imports a DLL that is
# not one of the system's. Windows looks for a DLL that is not a known
# system DLL in the program's own folder first, so the service installer
# removes every DLL from that folder; a program that needed one of its own
# would stop working, and one planted beside it would run in its place.
# Run as: cmake -DOBJDUMP=<objdump> -DPROGRAMS=<file|file|...> -P check_imports.cmake
#
# The system DLLs the programs import; add one here when a program needs
# another part of the system, never a DLL built or shipped with the programs
# (a C++ runtime that is not linked in statically, say).
set(system_dlls
  advapi32.dll bcrypt.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll shell32.dll
  user32.dll userenv.dll wininet.dll wtsapi32.dll)

string(REPLACE "|" ";" programs "${PROGRAMS}")
set(violations "")
foreach(program ${programs})
  get_filename_component(name ${program} NAME)
  string(TOLOWER "${name}" lower_name)
  if(lower_name MATCHES "\\.dll$")
    list(APPEND violations "${name} is a DLL")
  endif()
  execute_process(COMMAND ${OBJDUMP} -p ${program}
    OUTPUT_VARIABLE dump RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    list(APPEND violations "${OBJDUMP} -p ${program} failed: ${error}")
    continue()
  endif()
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
  if(NOT imports)
    list(APPEND violations "${name}: no imports found in the output of ${OBJDUMP} -p")
  endif()
  foreach(import ${imports})
    string(REGEX REPLACE "^DLL Name: " "" dll "${import}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" lower_dll)
    list(FIND system_dlls "${lower_dll}" known)
    if(known EQUAL -1)
      list(APPEND violations "${name} imports ${dll}, which is not a system DLL")
    endif()
  endforeach()
endforeach()

if(violations)
  string(REPLACE ";" "\n  " text "${violations}")
  message(FATAL_ERROR "Programs for the installer import DLLs of their own:\n  ${text}")
endif()
