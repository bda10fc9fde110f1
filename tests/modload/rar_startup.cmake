# Start-up with the scripted RAR test module packed into extract.kyv: the front end maps it from
# the unpack-code file and finds a payload that only the module's archive holds.
#   -DFRONT=bavhost|kyvscan -DFRONT_EXE=... [-DDLL=kyvmail.dll] -DKYVDB=... -DMODULE=...
#   -DWORK=folder [-DEMULATOR=wine -DWINE_USERS=prefix/drive_c/users]
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/plug/BASE" "${WORK}/tmp")
set(ENV{WINEDEBUG} "-all")
# The scanner's private temporary folder goes under TMPDIR; Wine keeps its own in each
# user's Temp folder of its prefix.
if(NOT FRONT STREQUAL "bavhost")
  set(ENV{TMPDIR} "${WORK}/tmp")
elseif(DEFINED WINE_USERS)
  file(GLOB before "${WINE_USERS}/*/Temp/kyv_*")
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 300)
  set(out "${out}${err}" PARENT_SCOPE)
  set(status "${status}" PARENT_SCOPE)
endfunction()

# The payload appears nowhere but inside the scripted archive's member line.
set(payload "KYV-RAR-PAYLOAD scripted member body 0123456789 abcdefghijklmnopqrstuvwxyz")
file(WRITE "${WORK}/payload.com" "${payload}")
string(LENGTH "${payload}" size)
file(WRITE "${WORK}/archive.rar"
     "Rar! KYVRARSCRIPT\n0|0|0|folder|\n${size}|${size}|0|inner/payload.com|${payload}\n")

run(${EMULATOR} ${KYVDB} sig --name Rar-Payload "${WORK}/payload.com")
file(WRITE "${WORK}/main.txt" "${out}")
run(${EMULATOR} ${KYVDB} build -o "${WORK}/plug/BASE/main.kyv" "${WORK}/main.txt")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "kyvdb build failed: ${out}")
endif()
run(${EMULATOR} ${KYVDB} pack-code -o "${WORK}/plug/BASE/extract.kyv" "UNRAR=${MODULE}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "kyvdb pack-code failed: ${out}")
endif()

if(FRONT STREQUAL "bavhost")
  file(COPY_FILE "${DLL}" "${WORK}/plug/kyvmail.dll")
  run(${EMULATOR} ${FRONT_EXE} "${WORK}/plug/kyvmail.dll" "${WORK}/archive.rar")
  set(want "initialize\t0" "1\t[^\t]*archive.rar\t[^\n]*Rar-Payload")
else()
  run(${FRONT_EXE} --base "${WORK}/plug/BASE" --chain "${WORK}/archive.rar")
  set(want "archive.rar: Rar-Payload FOUND" "{RAR}/inner/payload.com")
endif()
message("${out}")
foreach(re IN LISTS want)
  if(NOT "${out}" MATCHES "${re}")
    message(FATAL_ERROR "output lacks: ${re}")
  endif()
endforeach()
file(GLOB_RECURSE left "${WORK}/tmp/*")
if(DEFINED WINE_USERS)
  file(GLOB after "${WINE_USERS}/*/Temp/kyv_*")
  list(REMOVE_ITEM after ${before} "")
  list(APPEND left ${after})
endif()
if(left)
  message(FATAL_ERROR "left behind in the temporary folder: ${left}")
endif()
file(REMOVE_RECURSE "${WORK}")
