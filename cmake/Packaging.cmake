# Installation and packages: the command-line program, its udev rules, man
# page and bash completion on Linux (a .deb); on Windows the two window
# programs and the command-line program in a ZIP.
include(GNUInstallDirs)

if(TARGET ombrix-fwupdate AND NOT WIN32)
    install(TARGETS ombrix-fwupdate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/linux/70-ombrix.rules
            DESTINATION lib/udev/rules.d)
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/docs/ombrix-fwupdate.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/linux/ombrix-fwupdate.bash
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
            RENAME ombrix-fwupdate)
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/docs/ombrix-fwupdate.schema.json
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ombrix-fwupdate)
endif()
if(WIN32)
    foreach(program ombrix-fwupdate-win ombrix-fwupdate-demo ombrix-fwupdate)
        if(TARGET ${program})
            install(TARGETS ${program} RUNTIME DESTINATION .)
        endif()
    endforeach()
endif()

set(CPACK_PACKAGE_NAME ombrix-fwupdate)
set(CPACK_PACKAGE_VENDOR "Talvenor AG")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Ombrix Firmware Upgrade Utility: brings Ombrix instruments up to date")
set(CPACK_PACKAGE_CONTACT "Talvenor AG <support@talvenor.example>")
if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_PACKAGE_NAME ombrix-fwupdate)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Talvenor AG <support@talvenor.example>")
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    # dpkg-shlibdeps derives the dependencies (libusb-1.0-0, the C++ runtime).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_PACKAGE_DESCRIPTION
        "Compares an attached Ombrix instrument with the images this program carries
(FPGA bitstream and firmware, USB controller firmware, power supply
configuration) and rewrites what is out of date. Includes udev rules giving
the logged-in user access to the instrument.")
endif()
include(CPack)
