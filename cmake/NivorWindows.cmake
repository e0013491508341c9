# NIVOR.EXE, the 32-bit Windows console program. ICMP.DLL is bound at run
# time, so Winsock 1.1 is the only library it names; the C and C++ runtimes
# are linked in statically so that it runs without any MinGW DLL.
enable_language(RC)
add_link_options(-static -static-libgcc -static-libstdc++)

# The icon is drawn by a generator kept next to the resource script.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(NIVOR_ICON_DIR ${CMAKE_CURRENT_BINARY_DIR}/resources)
add_custom_command(OUTPUT ${NIVOR_ICON_DIR}/nivor.ico
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${NIVOR_ICON_DIR}
                   COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/resources/make_icon.py
                           ${NIVOR_ICON_DIR}/nivor.ico
                   DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/resources/make_icon.py
                   COMMENT "Drawing the icon of NIVOR.EXE")

# A library of its own, so that the compiler's warning flags never reach windres.
add_library(nivor_resources OBJECT resources/nivor.rc ${NIVOR_ICON_DIR}/nivor.ico)
target_include_directories(nivor_resources PRIVATE ${NIVOR_ICON_DIR})
set_source_files_properties(resources/nivor.rc PROPERTIES OBJECT_DEPENDS ${NIVOR_ICON_DIR}/nivor.ico)

add_executable(nivor app/main_windows.cpp)
set_target_properties(nivor PROPERTIES OUTPUT_NAME NIVOR SUFFIX .EXE)
target_link_libraries(nivor PRIVATE nivor_ping nivor_command_line nivor_resources wsock32)
target_link_options(nivor PRIVATE -mconsole)
nivor_warnings(nivor)
