# CLI11, toml++ and nlohmann-json are header-only libraries from Debian
# (libcli11-dev, libtomlplusplus-dev, nlohmann-json3-dev). A cross build must
# not put the host's /usr/include on its include path (the host's C library
# headers would shadow the target's), so the three header trees are linked into
# a folder of their own in the build tree, and only that folder is searched.
set(QZ_HEADER_ONLY_DIR ${CMAKE_BINARY_DIR}/header-only)
set(QZ_HEADER_ONLY_ROOT /usr/include CACHE PATH "Where the header-only libraries are installed")
foreach(entry "CLI:CLI/CLI.hpp" "toml++:toml++/toml.h" "nlohmann:nlohmann/json.hpp")
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 tree)
  list(GET entry 1 marker)
  if(NOT EXISTS ${QZ_HEADER_ONLY_ROOT}/${marker})
    message(FATAL_ERROR "${QZ_HEADER_ONLY_ROOT}/${marker} not found: run scripts/install-deps.sh")
  endif()
  if(NOT EXISTS ${QZ_HEADER_ONLY_DIR}/${tree})
    file(MAKE_DIRECTORY ${QZ_HEADER_ONLY_DIR})
    file(CREATE_LINK ${QZ_HEADER_ONLY_ROOT}/${tree} ${QZ_HEADER_ONLY_DIR}/${tree} SYMBOLIC)
  endif()
endforeach()

add_library(qz_header_only INTERFACE)
target_include_directories(qz_header_only SYSTEM INTERFACE ${QZ_HEADER_ONLY_DIR})
# Debian builds toml++ as a shared library too; ours compiles it in, so that the
# shipped library and the Windows DLL depend on nothing more.
target_compile_definitions(qz_header_only INTERFACE TOML_HEADER_ONLY=1)
