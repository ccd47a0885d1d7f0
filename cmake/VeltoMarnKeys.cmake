# The release public key is a build input: VELTOMARN_RELEASE_PUBLIC_KEY names a PEM RSA public key
# with a 3072-bit modulus and a 3-byte public exponent. It becomes the generated header
# <release_key.h> with the modulus and exponent as big-endian byte arrays. Any other key stops
# the configure step.

set(VELTOMARN_RELEASE_PUBLIC_KEY "${PROJECT_SOURCE_DIR}/keys/test/release-signing-TEST-ONLY.pub.pem"
    CACHE FILEPATH "PEM RSA-3072 public key that release inventories are verified with")

# The repository's test keys are the defaults, and their secrets are published with it: a build that
# trusts them trusts anyone. It is refused unless VELTOMARN_ALLOW_TEST_KEYS is ON (the presets the
# tests and the demo use), and warned about when it is.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  option(VELTOMARN_ALLOW_TEST_KEYS "Allow the repository's TEST keys as key inputs (never for a release)" OFF)
endif()

# veltomarn_refuse_test_key(<input variable> <test key file name> <is the test key>)
function(veltomarn_refuse_test_key variable test_file is_test)
  if(NOT is_test)
    return()
  endif()
  if(NOT VELTOMARN_ALLOW_TEST_KEYS)
    message(FATAL_ERROR "${variable} is the repository's TEST key keys/test/${test_file}: its "
            "secret is published with the repository. Pass your own key, or configure with "
            "-DVELTOMARN_ALLOW_TEST_KEYS=ON for a test build.")
  endif()
  message(WARNING "${variable}: this build trusts the TEST key keys/test/${test_file}, whose "
          "secret is published with the repository (VELTOMARN_ALLOW_TEST_KEYS=ON). Never "
          "release it.")
endfunction()

function(veltomarn_hex_to_c_bytes hex out_var)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  set(${out_var} "${bytes}" PARENT_SCOPE)
endfunction()

# veltomarn_read_release_key(<input variable> <key file> <modulus var> <exponent var>): the
# modulus (768 hex digits) and public exponent (6 hex digits) of a PEM RSA-3072 public key with a
# 3-byte exponent; anything else stops the configure step naming the input.
function(veltomarn_read_release_key variable key modulus_var exponent_var)
  find_program(VELTOMARN_OPENSSL openssl)
  if(NOT VELTOMARN_OPENSSL)
    message(FATAL_ERROR "the openssl command is needed to read ${variable} (scripts/setup.sh installs it)")
  endif()
  execute_process(COMMAND "${VELTOMARN_OPENSSL}" pkey -pubin -in "${key}" -noout -text
                  OUTPUT_VARIABLE text ERROR_VARIABLE error RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT text MATCHES "Public-Key: \\(([0-9]+) bit\\)")
    message(FATAL_ERROR "${variable}: ${key} is not a PEM RSA public key: ${error}")
  endif()
  set(bits "${CMAKE_MATCH_1}")
  if(NOT bits EQUAL 3072)
    message(FATAL_ERROR "${variable}: the modulus has ${bits} bits; the bootstrap needs 3072")
  endif()
  if(NOT text MATCHES "Modulus:([0-9a-f: \n]+)Exponent: [0-9]+ \\(0x([0-9a-f]+)\\)")
    message(FATAL_ERROR "${variable}: ${key} is not an RSA key with modulus and exponent")
  endif()
  set(modulus "${CMAKE_MATCH_1}")
  set(exponent "${CMAKE_MATCH_2}")
  string(REGEX REPLACE "[: \n]" "" modulus "${modulus}")
  string(REGEX REPLACE "^00" "" modulus "${modulus}")
  string(LENGTH "${modulus}" modulus_digits)
  string(LENGTH "${exponent}" exponent_digits)
  if(NOT modulus_digits EQUAL 768)
    message(FATAL_ERROR "${variable}: the modulus is not 384 bytes long")
  endif()
  if(exponent_digits LESS 5 OR exponent_digits GREATER 6)
    message(FATAL_ERROR "${variable}: the public exponent 0x${exponent} is not 3 bytes long (65537 is)")
  endif()
  if(exponent_digits EQUAL 5)
    set(exponent "0${exponent}")
  endif()
  set(${modulus_var} "${modulus}" PARENT_SCOPE)
  set(${exponent_var} "${exponent}" PARENT_SCOPE)
endfunction()

# veltomarn_generate_release_key(<output dir>): writes <output dir>/release_key.h and sets
# VELTOMARN_RELEASE_KEY_IS_TEST (whether the key is the repository's test key) in the caller.
function(veltomarn_generate_release_key output_dir)
  set(key "${VELTOMARN_RELEASE_PUBLIC_KEY}")
  if(NOT EXISTS "${key}")
    message(FATAL_ERROR "VELTOMARN_RELEASE_PUBLIC_KEY: no such file: ${key}")
  endif()
  veltomarn_read_release_key(VELTOMARN_RELEASE_PUBLIC_KEY "${key}" modulus exponent)
  # The test key is known by its modulus, whatever the file's encoding or line ends.
  set(test_file release-signing-TEST-ONLY.pub.pem)
  veltomarn_read_release_key(test_key "${PROJECT_SOURCE_DIR}/keys/test/${test_file}" test_modulus
                             test_exponent)
  string(COMPARE EQUAL "${modulus}" "${test_modulus}" is_test)
  veltomarn_refuse_test_key(VELTOMARN_RELEASE_PUBLIC_KEY ${test_file} ${is_test})
  set(VELTOMARN_RELEASE_KEY_IS_TEST ${is_test} PARENT_SCOPE)
  veltomarn_hex_to_c_bytes("${modulus}" VELTOMARN_KEY_MODULUS)
  veltomarn_hex_to_c_bytes("${exponent}" VELTOMARN_KEY_EXPONENT)
  configure_file("${PROJECT_SOURCE_DIR}/cmake/release_key.h.in" "${output_dir}/release_key.h" @ONLY)
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key}")
  endif()
endfunction()

# The payload key is a build input too: VELTOMARN_PAYLOAD_KEY names a file of two lines of 64
# lower-case hex digits, the two 32-byte shares whose XOR is the AES-256 payload key (the format
# `veltomarn-release keygen` writes). It becomes the generated header <payload_key.h>.
set(VELTOMARN_PAYLOAD_KEY "${PROJECT_SOURCE_DIR}/keys/test/payload-key-shares-TEST-ONLY.txt"
    CACHE FILEPATH "File with the two payload key shares (two lines of 64 lower-case hex digits)")

# veltomarn_read_payload_shares(<shares file> <first var> <second var> <key var>): the two shares
# (64 hex digits each) and the key they form (their XOR, as a list of byte values); a file of
# another shape stops the configure step.
function(veltomarn_read_payload_shares shares_file first_var second_var key_var)
  file(READ "${shares_file}" text)
  if(NOT text MATCHES "^([0-9a-f]+)\n([0-9a-f]+)\n?$")
    message(FATAL_ERROR "VELTOMARN_PAYLOAD_KEY: ${shares_file} must hold exactly two lines of 64 lower-case hex digits")
  endif()
  set(first "${CMAKE_MATCH_1}")
  set(second "${CMAKE_MATCH_2}")
  string(LENGTH "${first}" first_digits)
  string(LENGTH "${second}" second_digits)
  if(NOT first_digits EQUAL 64 OR NOT second_digits EQUAL 64)
    message(FATAL_ERROR "VELTOMARN_PAYLOAD_KEY: each share must be exactly 64 lower-case hex digits (32 bytes)")
  endif()
  set(key "")
  foreach(at RANGE 0 62 2)
    string(SUBSTRING "${first}" ${at} 2 a)
    string(SUBSTRING "${second}" ${at} 2 b)
    math(EXPR byte "0x${a} ^ 0x${b}")
    list(APPEND key ${byte})
  endforeach()
  set(${first_var} "${first}" PARENT_SCOPE)
  set(${second_var} "${second}" PARENT_SCOPE)
  set(${key_var} "${key}" PARENT_SCOPE)
endfunction()

function(veltomarn_generate_payload_key output_dir)
  set(shares_file "${VELTOMARN_PAYLOAD_KEY}")
  if(NOT EXISTS "${shares_file}")
    message(FATAL_ERROR "VELTOMARN_PAYLOAD_KEY: no such file: ${shares_file}")
  endif()
  veltomarn_read_payload_shares("${shares_file}" first second key)
  # The test key is known by the key its shares form, in whichever order or split.
  set(test_file payload-key-shares-TEST-ONLY.txt)
  veltomarn_read_payload_shares("${PROJECT_SOURCE_DIR}/keys/test/${test_file}" test_first
                                test_second test_key)
  string(COMPARE EQUAL "${key}" "${test_key}" is_test)
  veltomarn_refuse_test_key(VELTOMARN_PAYLOAD_KEY ${test_file} ${is_test})
  configure_file("${PROJECT_SOURCE_DIR}/cmake/payload_key.h.in" "${output_dir}/payload_key.h" @ONLY)
  # Each share in a source file of its own (payload_key_share_a.cpp, payload_key_share_b.cpp).
  foreach(share A B)
    if(share STREQUAL "A")
      veltomarn_hex_to_c_bytes("${first}" VELTOMARN_SHARE_BYTES)
    else()
      veltomarn_hex_to_c_bytes("${second}" VELTOMARN_SHARE_BYTES)
    endif()
    set(VELTOMARN_SHARE_NAME ${share})
    string(TOLOWER ${share} lower)
    configure_file("${PROJECT_SOURCE_DIR}/cmake/payload_key_share.cpp.in"
                   "${output_dir}/payload_key_share_${lower}.cpp" @ONLY)
  endforeach()
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${shares_file}")
  endif()
endfunction()
