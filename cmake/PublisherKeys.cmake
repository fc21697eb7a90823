# Compiles the publisher's public keys into kanade_repos. KANADE_PUBLISHER_KEYS
# names a public-key file (one standard base64 Ed25519 key a line, "#"
# comments); these keys are the program's only trust anchors for repository
# files. The default is the official publisher's key; tests and the demo
# configure their own pair made with "kanade-repo keygen".
set(KANADE_PUBLISHER_KEYS "${CMAKE_SOURCE_DIR}/keys/publisher.pub" CACHE FILEPATH
    "Public-key file of the publishers whose repository files the patcher accepts")

get_filename_component(KANADE_PUBLISHER_KEYS "${KANADE_PUBLISHER_KEYS}" ABSOLUTE)
if(NOT EXISTS "${KANADE_PUBLISHER_KEYS}")
  message(FATAL_ERROR "KANADE_PUBLISHER_KEYS: no such file: ${KANADE_PUBLISHER_KEYS}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${KANADE_PUBLISHER_KEYS}")

file(STRINGS "${KANADE_PUBLISHER_KEYS}" kanade_key_lines)
set(KANADE_PUBLISHER_KEY_TEXTS "")
set(kanade_key_count 0)
foreach(line IN LISTS kanade_key_lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  # 32 bytes in base64: 44 characters, the last two one of "AEIMQUYcgkosw048" and "=".
  string(LENGTH "${line}" length)
  if(NOT length EQUAL 44 OR NOT line MATCHES "^[A-Za-z0-9+/]+[AEIMQUYcgkosw048]=$")
    message(FATAL_ERROR "${KANADE_PUBLISHER_KEYS}: \"${line}\" is not a base64 Ed25519 public key")
  endif()
  string(APPEND KANADE_PUBLISHER_KEY_TEXTS "    \"${line}\",\n")
  math(EXPR kanade_key_count "${kanade_key_count} + 1")
endforeach()
if(kanade_key_count EQUAL 0)
  message(FATAL_ERROR "${KANADE_PUBLISHER_KEYS} holds no public key")
endif()
set(KANADE_PUBLISHER_KEY_COUNT ${kanade_key_count})
configure_file(${CMAKE_CURRENT_LIST_DIR}/publisher_keys.cpp.in
               ${CMAKE_BINARY_DIR}/generated/publisher_keys.cpp @ONLY)
message(STATUS "Publisher keys: ${kanade_key_count} from ${KANADE_PUBLISHER_KEYS}")
