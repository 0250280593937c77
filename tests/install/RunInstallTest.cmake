# Runs as a CMake script: install, then build and run the consumer twice.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run_step description)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${description} failed (${result}):\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

run_step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(required include/orvo/PushManagerInfo.h include/orvo/VersionMacros.h include/orvo/platform/Host.h
                 include/orvo/testing/ScriptedHttpClient.h)
  if(NOT EXISTS ${prefix}/${required})
    message(FATAL_ERROR "install did not put ${required} in place")
  endif()
endforeach()
file(GLOB_RECURSE package_config ${prefix}/*/OrvoPushConfig.cmake)
file(GLOB_RECURSE pc_file ${prefix}/*/orvo-push.pc)
if(NOT package_config OR NOT pc_file)
  message(FATAL_ERROR "install did not put OrvoPushConfig.cmake and orvo-push.pc in place")
endif()

# A sanitized library needs the sanitizer's runtime in the program, loaded first.
set(sanitize_flags "")
if(SANITIZE)
  set(sanitize_flags -fsanitize=${SANITIZE})
endif()

# 1. CMake find_package.
run_step("configure consumer" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/cmake-build
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${sanitize_flags}")
run_step("build consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run_step("run consumer (find_package)" ${WORK_DIR}/cmake-build/consumer)
if(NOT step_output MATCHES "consumer ok")
  message(FATAL_ERROR "consumer (find_package) printed: ${step_output}")
endif()
run_step("run consumer of the doubles (find_package)" ${WORK_DIR}/cmake-build/consumer-testing)
if(NOT step_output MATCHES "testing ok")
  message(FATAL_ERROR "consumer of the doubles printed: ${step_output}")
endif()

# 2. pkg-config.
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run_step("pkg-config" pkg-config --cflags --libs orvo-push)
string(STRIP "${step_output}" flags)
# The application picks its standard; a -std= here would override a newer one.
if(flags MATCHES "-std=")
  message(FATAL_ERROR "pkg-config orvo-push names a language standard: ${flags}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run_step("build consumer (pkg-config)" ${CXX} -std=c++20 ${sanitize_flags} ${SOURCE_DIR}/main.cpp ${flags}
  -o ${WORK_DIR}/consumer-pc)
get_filename_component(lib_dir ${pc_dir} DIRECTORY)
set(ENV{LD_LIBRARY_PATH} ${lib_dir})
run_step("run consumer (pkg-config)" ${WORK_DIR}/consumer-pc)
if(NOT step_output MATCHES "consumer ok")
  message(FATAL_ERROR "consumer (pkg-config) printed: ${step_output}")
endif()

# 3. The examples an application developer copies, and the tools beside the library.
run_step("configure examples" ${CMAKE_COMMAND} -S ${EXAMPLES_DIR} -B ${WORK_DIR}/examples-build
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX})
run_step("build examples" ${CMAKE_COMMAND} --build ${WORK_DIR}/examples-build)
foreach(tool orvo-emulator orvo-sim)
  if(NOT EXISTS ${prefix}/bin/${tool})
    message(FATAL_ERROR "install did not put ${tool} in ${prefix}/bin")
  endif()
endforeach()

# 4. The installed tools start from the prefix alone: the library is found
# through their RPATH, not the environment.
unset(ENV{LD_LIBRARY_PATH})
run_step("installed orvo-sim --version" ${prefix}/bin/orvo-sim --version)
if(NOT step_output MATCHES "^orvo-sim [0-9]+\\.[0-9]+\\.[0-9]+")
  message(FATAL_ERROR "installed orvo-sim --version printed: ${step_output}")
endif()
run_step("installed orvo-emulator --version" ${prefix}/bin/orvo-emulator --version)
if(NOT step_output MATCHES "^orvo-emulator [0-9]+\\.[0-9]+\\.[0-9]+")
  message(FATAL_ERROR "installed orvo-emulator --version printed: ${step_output}")
endif()
