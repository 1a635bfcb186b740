# Warning and sanitizer flags shared by every target of the project.
add_library(ovn_options INTERFACE)
target_compile_options(ovn_options INTERFACE -Wall -Wextra)
if(OVN_WERROR)
  target_compile_options(ovn_options INTERFACE -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # g++ 12's flow-based bounds warnings misfire inside the standard library's vector code at -O2 and above
    # (std::vector::insert into a vector that was just grown, std::function inside std::regex with
    # sanitizers); they stay visible as warnings.
    target_compile_options(ovn_options INTERFACE -Wno-error=array-bounds -Wno-error=restrict
                           -Wno-error=stringop-overflow -Wno-error=stringop-overread
                           -Wno-error=maybe-uninitialized)
  endif()
endif()
if(CMAKE_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # A unity build (CMAKE_UNITY_BUILD=ON, as scripts/test.sh builds) includes the sources into batch files, where
  # g++ takes a source's anonymous-namespace types for a header's.
  target_compile_options(ovn_options INTERFACE -Wno-subobject-linkage)
endif()
if(OVN_SANITIZE)
  string(REPLACE ";" "," _ovn_san "${OVN_SANITIZE}")
  # Debug information is the build type's choice (line tables are enough for the sanitizers' reports).
  target_compile_options(ovn_options INTERFACE -fsanitize=${_ovn_san} -fno-omit-frame-pointer)
  target_link_options(ovn_options INTERFACE -fsanitize=${_ovn_san})
  if(_ovn_san MATCHES "undefined")
    target_compile_options(ovn_options INTERFACE -fno-sanitize-recover=undefined)
  endif()
endif()

# ovn_add_library(NAME DIR [DEPS ...]): a static library of every .cpp in DIR.
function(ovn_add_library name dir)
  cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
  file(GLOB _src CONFIGURE_DEPENDS "${dir}/*.cpp")
  if(NOT _src)
    # Nothing to compile yet: an interface library keeps dependants building.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE "${CMAKE_SOURCE_DIR}/src")
    target_link_libraries(${name} INTERFACE ovn_options ${A_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${_src})
  target_include_directories(${name} PUBLIC "${CMAKE_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC ovn_options ${A_DEPS})
endfunction()
