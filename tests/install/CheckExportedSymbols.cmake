# Runs as a CMake script on the built shared library: it exports the public
# API and nothing else, none of the libraries it uses above all.
execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} could not list the dynamic symbols of ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")

set(count 0)
set(foreign "")
set(internal "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; the name may hold spaces and semicolons.
  string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" name "${line}")
  if(name STREQUAL "")
    continue()
  endif()
  math(EXPR count "${count} + 1")
  string(REGEX REPLACE "^(typeinfo name for|typeinfo for|vtable for|VTT for|guard variable for) "
                       "" bare "${name}")
  if(name MATCHES "nlohmann::|httplib::|CLI::|Catch::|testing::"
     OR bare MATCHES "^(sqlite3|curl|Curl|XML|plist|SSL|EVP|CRYPTO|OPENSSL|BIO|X509|uuid|iconv)_")
    list(APPEND foreign "  ${name}")
  elseif(bare MATCHES "^orvo::([a-z_]+)::" AND NOT CMAKE_MATCH_1 STREQUAL "detail")
    # The library's internal namespaces (logging, platform, protocol, ...);
    # detail holds the process-reset hooks the installed doubles call.
    list(APPEND internal "  ${name}")
  endif()
endforeach()

foreach(required "orvo::runtimeVersion()" "orvo::PushManager::defaultManager()"
                 "orvo::versionCompare(" "typeinfo for orvo::HttpClient")
  string(FIND "${listing}" "${required}" at)
  if(at EQUAL -1)
    list(APPEND missing "  ${required}")
  endif()
endforeach()

message(STATUS "${LIBRARY}: ${count} exported symbols")
if(foreign OR internal OR missing)
  list(JOIN foreign "\n" foreign)
  list(JOIN internal "\n" internal)
  list(JOIN missing "\n" missing)
  message(FATAL_ERROR "exported symbols:\n"
          "of libraries it uses (keep them hidden):\n${foreign}\n"
          "internal to the library (no ORVO_PUSH_API on them):\n${internal}\n"
          "public API not exported (ORVO_PUSH_API missing):\n${missing}")
endif()
