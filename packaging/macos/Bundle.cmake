# macOS only: the program as an application bundle with a Dock icon (no
# LSUIElement), the packaged project inside it where the program looks for
# it. Included from app/CMakeLists.txt.
# The Dock and Finder icon, made from the program's icon by make-icns.py
# (committed: the build needs no icon tool).
set(harlune_icns ${CMAKE_SOURCE_DIR}/packaging/macos/harlune.icns)
target_sources(harlune-kommandozentrale PRIVATE ${harlune_icns})
set_source_files_properties(${harlune_icns} PROPERTIES MACOSX_PACKAGE_LOCATION Resources)
set_target_properties(harlune-kommandozentrale PROPERTIES
    MACOSX_BUNDLE TRUE
    MACOSX_BUNDLE_ICON_FILE harlune.icns
    OUTPUT_NAME ${HARLUNE_PROGRAM_FILE}
    MACOSX_BUNDLE_INFO_PLIST ${CMAKE_SOURCE_DIR}/packaging/macos/Info.plist.in
    MACOSX_BUNDLE_BUNDLE_NAME ${HARLUNE_BUNDLE_NAME}
    MACOSX_BUNDLE_GUI_IDENTIFIER ${HARLUNE_APP_ID}
    MACOSX_BUNDLE_BUNDLE_VERSION ${PROJECT_VERSION}
    MACOSX_BUNDLE_SHORT_VERSION_STRING ${PROJECT_VERSION})

# The program takes the .app folder for its bundle directory and looks for
# <bundle>/Resources/buchhaltung, then <bundle>/Contents/Resources/buchhaltung
# (paths/ProjectPaths.cpp). Only the second can be signed: code signing
# allows nothing beside Contents/.
set(HARLUNE_PACKAGED_DIR ${HARLUNE_BIN_DIR}/${HARLUNE_BUNDLE_NAME}.app/Contents/${HARLUNE_PACKAGED_SUBDIR})
install(TARGETS harlune-kommandozentrale BUNDLE DESTINATION .)
