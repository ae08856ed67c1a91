# Dependencies of the Windows build (mingw-w64). The system's header-only libraries come through
# an include folder of our own that holds only links to them: the whole /usr/include would bring
# Linux's C library headers in front of mingw's.
set(BREVANT_WIN_INCLUDE ${CMAKE_BINARY_DIR}/win-include)
file(MAKE_DIRECTORY ${BREVANT_WIN_INCLUDE})
foreach(dir boost nlohmann)
    file(CREATE_LINK /usr/include/${dir} ${BREVANT_WIN_INCLUDE}/${dir} SYMBOLIC)
endforeach()

# libstdc++ without a futex (mingw) waits on an atomic by reading it, then sleeping on a shared
# condition variable without reading it again: a notify in between is lost. std::stop_token
# waits that way when a stop callback is removed while another thread runs it, so a stop could
# hang its thread for good. Its semaphore on winpthreads' POSIX semaphore has no such gap.
# (Nothing of ours waits on an atomic.)
add_compile_definitions(_GLIBCXX_USE_POSIX_SEMAPHORE=1)

# Windows 10 API level for Asio; its sockets need Winsock and the Microsoft extensions.
add_library(Boost::boost INTERFACE IMPORTED)
target_include_directories(Boost::boost SYSTEM INTERFACE ${BREVANT_WIN_INCLUDE})
target_compile_definitions(Boost::boost INTERFACE _WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN
                                                  NOMINMAX)
target_link_libraries(Boost::boost INTERFACE ws2_32 mswsock)

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${BREVANT_WIN_INCLUDE})

# Beast's templates pass COFF's limit of 2^15 sections in one object unless it is made "big".
# Even then the names of an unoptimised object's sections overflow its string table: debug
# builds are optimised a little (inlining leaves far fewer functions) with line tables only.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wa,-mbig-obj)
    set(CMAKE_CXX_FLAGS_DEBUG "-O1 -g1")
endif()

# Programs and the DLLs they link in one folder, where Windows looks for a program's DLLs.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# Libraries keep their names (pluginsdk.dll, not libpluginsdk.dll).
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")

# Everything static: no libstdc++, libgcc or libwinpthread DLLs beside the programs.
add_link_options(-static -static-libgcc -static-libstdc++)

# Dear ImGui from Debian's source package (./dev fetches it) and libstb-dev's headers, built
# with the cross compiler.
set(BREVANT_IMGUI_SOURCE "" CACHE PATH "Dear ImGui's unpacked sources (imgui.cpp and imgui.h)")
if(NOT EXISTS "${BREVANT_IMGUI_SOURCE}/imgui.cpp")
    message(FATAL_ERROR "BREVANT_IMGUI_SOURCE must name Dear ImGui's sources (./dev windows "
                        "fetches them with apt-get source imgui)")
endif()
add_library(brevant_imgui STATIC
    ${BREVANT_IMGUI_SOURCE}/imgui.cpp
    ${BREVANT_IMGUI_SOURCE}/imgui_draw.cpp
    ${BREVANT_IMGUI_SOURCE}/imgui_tables.cpp
    ${BREVANT_IMGUI_SOURCE}/imgui_widgets.cpp
)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/win-include-stb)
file(CREATE_LINK /usr/include/stb ${CMAKE_BINARY_DIR}/win-include-stb/stb SYMBOLIC)
target_include_directories(brevant_imgui SYSTEM PUBLIC ${BREVANT_IMGUI_SOURCE}
                           PRIVATE ${CMAKE_BINARY_DIR}/win-include-stb/stb)
# Third-party code: its own warnings are not ours to fix.
target_compile_options(brevant_imgui PRIVATE -w)
add_library(PkgConfig::IMGUI ALIAS brevant_imgui)
