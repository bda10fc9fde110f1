# The plug-in started by a host that carries on after -3: a BASE with signatures but without the
# unpack code still finds a payload, plain and inside a ZIP (a built-in reader); a BASE without
# any signatures answers 0 and leaves the buffer alone.
#   -DHOST=bavhost.exe -DDLL=kyvmail.dll -DKYVDB=kyvdb.exe -DEMULATOR=wine -DWORK=folder
#   [-DWINE_USERS=prefix/drive_c/users]
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/plug/BASE")
set(ENV{WINEDEBUG} "-all")
if(DEFINED WINE_USERS)
  file(GLOB before "${WINE_USERS}/*/Temp/kyv_*")
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY "${WORK}" TIMEOUT 300)
  set(out "${out}${err}" PARENT_SCOPE)
  set(status "${status}" PARENT_SCOPE)
endfunction()

function(expect status_wanted)
  message("${out}")
  if(NOT "${status}" STREQUAL "${status_wanted}")
    message(FATAL_ERROR "exit status ${status}, expected ${status_wanted}")
  endif()
  foreach(re IN LISTS ARGN)
    if(NOT "${out}" MATCHES "${re}")
      message(FATAL_ERROR "output lacks: ${re}")
    endif()
  endforeach()
endfunction()

file(WRITE "${WORK}/payload.com" "KYV partial start-up payload 0123456789 abcdefghijklmnopqrstuvwxyz")
run(${CMAKE_COMMAND} -E tar cf payload.zip --format=zip payload.com)
file(COPY_FILE "${DLL}" "${WORK}/plug/kyvmail.dll")

# No signatures at all: nothing sound to say.
run(${EMULATOR} ${HOST} --keep-going "${WORK}/plug/kyvmail.dll" "${WORK}/payload.com")
expect(2 "initialize\t-3" "\n0\t[^\t]*payload.com\t\n")

run(${EMULATOR} ${KYVDB} sig --name Partial-Payload "${WORK}/payload.com")
file(WRITE "${WORK}/main.txt" "${out}")
run(${EMULATOR} ${KYVDB} build -o "${WORK}/plug/BASE/main.kyv" "${WORK}/main.txt")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "kyvdb build failed: ${out}")
endif()
run(${EMULATOR} ${HOST} --keep-going "${WORK}/plug/kyvmail.dll" "${WORK}/payload.com" "${WORK}/payload.zip")
expect(1 "initialize\t-3" "\n1\t[^\t]*payload.com\tPartial-Payload\n" "\n1\t[^\t]*payload.zip\tPartial-Payload\n")

if(DEFINED WINE_USERS)
  file(GLOB after "${WINE_USERS}/*/Temp/kyv_*")
  list(REMOVE_ITEM after ${before} "")
  if(after)
    message(FATAL_ERROR "left behind in the temporary folder: ${after}")
  endif()
endif()
file(REMOVE_RECURSE "${WORK}")
