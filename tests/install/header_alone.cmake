# Installs the public headers into a fresh prefix and compiles a file that includes HEADER alone, with the
# prefix's include folder as the only include path, strictly.
# cmake -D BUILD_DIR=<build tree> -D PREFIX=<scratch folder> -D HEADER=<name> -D CXX=<compiler> -P header_alone.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --component velmora_headers --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0 OR NOT EXISTS ${PREFIX}/include/velmora/${HEADER})
  message(FATAL_ERROR "the headers did not install into ${PREFIX}")
endif()
file(WRITE ${PREFIX}/alone.cpp "#include <velmora/${HEADER}>\n")
execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I${PREFIX}/include ${PREFIX}/alone.cpp
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "velmora/${HEADER} does not compile on its own")
endif()
