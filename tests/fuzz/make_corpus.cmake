# Writes the seed corpus with talvex-cli pack: valid files of several shapes,
# from which the fuzzer mutates its way into the loader's checks.
# Run as: cmake -DCLI=<talvex-cli> -DDIR=<corpus folder> -P make_corpus.cmake
file(REMOVE_RECURSE "${DIR}")
file(MAKE_DIRECTORY "${DIR}/payloads" "${DIR}/seeds")

# A firmware file carries at least one byte: the smallest image there is.
file(WRITE "${DIR}/payloads/byte" "x")
file(WRITE "${DIR}/payloads/short" "image")
string(REPEAT "0123456789abcdef" 32 long_payload)
file(WRITE "${DIR}/payloads/long" "${long_payload}")

function(pack seed payload)
  execute_process(
    COMMAND "${CLI}" pack ${ARGN} "${DIR}/payloads/${payload}" "${DIR}/seeds/${seed}.tvf"
    RESULT_VARIABLE status
    ERROR_VARIABLE message)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "talvex-cli pack failed for seed ${seed}: ${message}")
  endif()
endfunction()

pack(master-byte byte --version 1.0.0 --build 1 --name master)
pack(release-short short --version 1.4.2 --build 317 --name release/1.4.2
     --device-word 0x12345678 --device-block 00112233445566778899aabbccddeeff)
pack(feature-long long --version 255.255.255 --build 4294967295 --name feature/ABC-12-x
     --device-word ffffffff)
