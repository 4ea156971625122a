# The Windows installer, packages/quorvel-VERSION-windows-PROCESSOR.msi, made
# on Linux by Debian's wixl and msibuild (msitools) where they are found: the
# program, the codec (registered by its own DllRegisterServer), README and
# LICENSE in Program Files\Quorvel, on the system's PATH. The 64-bit one
# also carries the 32-bit codec, for 32-bit programs: build the win32
# preset first.
find_program(QUORVEL_WIXL wixl)
find_program(QUORVEL_MSIBUILD msibuild)
find_program(QUORVEL_MSIINFO msiinfo)
if(NOT QUORVEL_WIXL OR NOT QUORVEL_MSIBUILD OR NOT QUORVEL_MSIINFO OR NOT TARGET quorvel_wic)
  message(STATUS "No MSI installer: it needs the codec and Debian's wixl and msitools (wixl, msibuild, msiinfo)")
  return()
endif()
set(codec32 "")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QUORVEL_WIC_DLL32 ${CMAKE_SOURCE_DIR}/build-win32/quorvel-wic.dll CACHE FILEPATH
      "The 32-bit codec the 64-bit installer carries (the win32 preset builds it)")
  set(arch x64)
  set(upgrade_code 57553123-B6B6-4385-B8BC-0105F06595E4)
  set(codec32 ${QUORVEL_WIC_DLL32})
  if(NOT EXISTS ${codec32})
    message(STATUS "No 64-bit MSI installer: it carries the 32-bit codec, ${codec32}, which is not built yet (build the win32 preset, then configure again)")
    return()
  endif()
else()
  set(arch x86)
  set(upgrade_code FD9D0BD8-ED85-42FE-87BB-CB5936F588BB)
endif()
set(QUORVEL_MSI ${CMAKE_BINARY_DIR}/packages/quorvel-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR}.msi)  # the suite installs it
add_custom_command(OUTPUT ${QUORVEL_MSI}
  COMMAND ${CMAKE_COMMAND} -DWIXL=${QUORVEL_WIXL} -DMSIBUILD=${QUORVEL_MSIBUILD} -DMSIINFO=${QUORVEL_MSIINFO} -DSTRIP=${CMAKE_STRIP}
    -DARCH=${arch} -DVERSION=${PROJECT_VERSION} -DUPGRADE_CODE=${upgrade_code}
    -DPROGRAM=$<TARGET_FILE:quorvel> -DCODEC=$<TARGET_FILE:quorvel_wic> -DCODEC32=${codec32}
    -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DSTAGE=${CMAKE_BINARY_DIR}/msi -DOUTPUT=${QUORVEL_MSI}
    -P ${CMAKE_CURRENT_LIST_DIR}/msi.cmake
  DEPENDS quorvel quorvel_wic ${codec32} ${CMAKE_CURRENT_LIST_DIR}/quorvel.wxs ${CMAKE_CURRENT_LIST_DIR}/msi.cmake
    ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
  VERBATIM)
add_custom_target(quorvel_msi ALL DEPENDS ${QUORVEL_MSI})
