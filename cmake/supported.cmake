# Where the module cannot be built (pip building the sdist on a platform
# without a wheel), configure stops with one message that says what is
# supported and that the framework's pure-Python path serves, instead of a
# wall of compiler or linker errors. tests/configure runs each case.

function(sorbek_unsupported reason)
  message(FATAL_ERROR
    "sorbek_accel cannot be built here: ${reason}.\n"
    "It builds on Linux, for CPython 3.12 or later with the GIL (it uses the "
    "stable ABI, which free-threaded CPython does not provide), with a C++20 "
    "compiler (g++ 11 or clang 14 or later); x86-64 and arm64 Linux get a "
    "wheel and need no compiler.\n"
    "Nothing is lost: the framework's pure-Python path serves here. Install "
    "the framework without sorbek-accel, or depend on it with the environment "
    "markers given in its README, which select it only where it installs.")
endfunction()

# After project(): the target system (CMAKE_SYSTEM_NAME, which a toolchain
# file or -DCMAKE_SYSTEM_NAME sets for cross builds).
function(sorbek_check_system)
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    sorbek_unsupported("the target system is ${CMAKE_SYSTEM_NAME}, not Linux")
  endif()
endfunction()

# Before enable_language(CXX), whose own failure is a page of CMake errors:
# slim and Alpine images, where servers are built, have no compiler at all.
function(sorbek_check_compiler)
  include(CheckLanguage)
  check_language(CXX)
  if(NOT CMAKE_CXX_COMPILER)
    sorbek_unsupported("no C++ compiler was found")
  endif()
endfunction()

# After enable_language(CXX): CMake knows the compiler's standard modes, and
# a test program needs the C++20 language and library parts the sources use.
function(sorbek_check_cxx20)
  set(compiler "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
  if(NOT "cxx_std_20" IN_LIST CMAKE_CXX_COMPILE_FEATURES)
    sorbek_unsupported("the C++ compiler (${compiler}) has no C++20 mode")
  endif()
  try_compile(SORBEK_HAS_CXX20 SOURCES "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/cxx20_check.cpp"
    CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
  if(NOT SORBEK_HAS_CXX20)
    sorbek_unsupported("the C++ compiler (${compiler}) cannot compile C++20 (concepts, std::span, std::bit_cast)")
  endif()
endfunction()

# Before find_package(Python ... Development.SABIModule), which fails on its
# own terms for an interpreter without the stable ABI: the interpreter that
# scikit-build-core passes (Python_EXECUTABLE), or the one CMake finds.
function(sorbek_check_python)
  if(NOT Python_EXECUTABLE)
    find_package(Python COMPONENTS Interpreter QUIET)
  endif()
  if(NOT Python_EXECUTABLE)
    return()  # find_package below reports that no interpreter was found
  endif()
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
      "import sys, sysconfig; print(sys.implementation.name, '%d.%d' % sys.version_info[:2], int(bool(sysconfig.get_config_var('Py_GIL_DISABLED'))))"
    OUTPUT_VARIABLE answer OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT answer MATCHES "^([a-z]+) ([0-9]+\\.[0-9]+) ([01])$")
    return()  # not an interpreter this can ask; find_package reports it
  endif()
  set(implementation "${CMAKE_MATCH_1}")
  set(version "${CMAKE_MATCH_2}")
  set(free_threaded "${CMAKE_MATCH_3}")
  if(NOT implementation STREQUAL "cpython")
    sorbek_unsupported("the interpreter is ${implementation} ${version}, not CPython")
  elseif(version VERSION_LESS 3.12)
    sorbek_unsupported("the interpreter is CPython ${version}, older than 3.12")
  elseif(free_threaded)
    sorbek_unsupported("the interpreter is a free-threaded CPython ${version}")
  endif()
endfunction()
