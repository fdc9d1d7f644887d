# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows program, cross-built on Linux: a window program and its console
# companion, each linked statically, so that nothing but Windows' own
# libraries need be beside them; and cpack's installer and zip of both.
#
# The icon is made on the build machine, where the program that draws it
# can run: -DPELORIN_WINDOWS_ICON=path/to/pelorin.ico.
set(PELORIN_WINDOWS_ICON "" CACHE FILEPATH "The program's icon as a .ico file, made on the build machine")
if(NOT EXISTS "${PELORIN_WINDOWS_ICON}")
    message(FATAL_ERROR "PELORIN_WINDOWS_ICON must name the program's .ico: tools/windows-package makes it")
endif()

# pelorin.exe is for Explorer and the Start menu: no console window opens
# with it. pelorin.com is the same program for the console: a prompt runs
# it in preference to the .exe when "pelorin" is typed, waits for it, shows
# its output and gets its exit status.
foreach(kind exe com)
    set(PELORIN_FILE_NAME pelorin.${kind})
    configure_file(dist/windows/pelorin.rc.in pelorin-${kind}.rc @ONLY)
endforeach()
add_executable(pelorin WIN32 ui/main.cpp ${CMAKE_CURRENT_BINARY_DIR}/pelorin-exe.rc)
add_executable(pelorin_console ui/main.cpp ${CMAKE_CURRENT_BINARY_DIR}/pelorin-com.rc)
set_target_properties(pelorin_console PROPERTIES OUTPUT_NAME pelorin SUFFIX .com)
foreach(target pelorin pelorin_console)
    target_link_libraries(${target} PRIVATE pelorin_window)
    # The C++ and thread runtimes too, so that no MinGW DLL is needed. The
    # linker would stamp the time of the link into the program's header:
    # without it, the same sources and Windows Qt give the same bytes.
    target_link_options(${target} PRIVATE -static -s -Wl,--no-insert-timestamp)
endforeach()

install(TARGETS pelorin pelorin_console RUNTIME DESTINATION bin)
install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES dist/windows/THIRD-PARTY.txt DESTINATION .)
# The licences of what is linked in, gathered by tools/windows-package.
set(PELORIN_WINDOWS_LICENSES "" CACHE PATH "A folder of the licence texts of Qt and the MinGW-w64 runtime")
if(PELORIN_WINDOWS_LICENSES)
    install(DIRECTORY ${PELORIN_WINDOWS_LICENSES}/ DESTINATION licenses)
endif()

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME pelorin)
set(CPACK_PACKAGE_VENDOR pelorin)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Editor and uploader for the Tavro message board")
set(CPACK_PACKAGE_INSTALL_DIRECTORY pelorin)
set(CPACK_PACKAGE_FILE_NAME pelorin-${PROJECT_VERSION}-win64)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# A Start menu entry named pelorin for bin\pelorin.exe.
set(CPACK_PACKAGE_EXECUTABLES pelorin pelorin)
set(CPACK_NSIS_PACKAGE_NAME pelorin)
set(CPACK_NSIS_DISPLAY_NAME pelorin)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_MUI_ICON ${PELORIN_WINDOWS_ICON})
set(CPACK_NSIS_MUI_UNIICON ${PELORIN_WINDOWS_ICON})
set(CPACK_NSIS_INSTALLED_ICON_NAME bin\\\\pelorin.exe)
# A 64-bit installer for the 64-bit program; the default stub is 32-bit.
# CPack's uninstaller removes its own key, Software\pelorin\pelorin, but
# leaves the vendor's key above it: it goes once the uninstall is done.
set(CPACK_NSIS_DEFINES "Target amd64-unicode
SetDateSave off
Function un.onUninstSuccess
  DeleteRegKey /ifempty SHCTX 'Software\\\\pelorin'
FunctionEnd")
# .mes files open in pelorin and show its icon. The uninstaller takes back
# .mes only while it still points at pelorin.
set(PELORIN_NSIS_CLASSES "HKLM 'Software\\\\Classes")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "
  WriteRegStr ${PELORIN_NSIS_CLASSES}\\\\.mes' '' 'pelorin.mes'
  WriteRegStr ${PELORIN_NSIS_CLASSES}\\\\pelorin.mes' '' 'Tavro message file'
  WriteRegStr ${PELORIN_NSIS_CLASSES}\\\\pelorin.mes\\\\DefaultIcon' '' '$INSTDIR\\\\bin\\\\pelorin.exe,0'
  WriteRegStr ${PELORIN_NSIS_CLASSES}\\\\pelorin.mes\\\\shell\\\\open\\\\command' '' '\\\"$INSTDIR\\\\bin\\\\pelorin.exe\\\" \\\"%1\\\"'
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "
  ReadRegStr $0 ${PELORIN_NSIS_CLASSES}\\\\.mes' ''
  StrCmp $0 'pelorin.mes' 0 +3
    DeleteRegValue ${PELORIN_NSIS_CLASSES}\\\\.mes' ''
    DeleteRegKey /ifempty ${PELORIN_NSIS_CLASSES}\\\\.mes'
  DeleteRegKey ${PELORIN_NSIS_CLASSES}\\\\pelorin.mes'
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
")
include(CPack)
