# Builds one MSI: cmake -D... -P msi.cmake (installer.cmake passes WIXL,
# MSIBUILD, MSIINFO, STRIP, ARCH (x86 or x64), VERSION, UPGRADE_CODE,
# PROGRAM, CODEC, CODEC32 (x64 only), SOURCE_DIR, STAGE and OUTPUT).
#
# wixl takes sources relative to where it runs and stamps the package with
# the time and a random package code, and knows no Environment element: the
# files are staged with one time, then msibuild adds the PATH entry and
# replaces the summary's code and times with ones derived from the inputs,
# so that one commit gives the same bytes (SOURCE_DATE_EPOCH, which
# string(TIMESTAMP) honours, fixes the time).
cmake_minimum_required(VERSION 3.25)
set(ENV{TZ} UTC)  # wixl and msibuild write local times
if(ARCH STREQUAL "x64" AND NOT EXISTS "${CODEC32}")
  message(FATAL_ERROR "The 64-bit installer carries the 32-bit codec, ${CODEC32}: "
                      "build the win32 preset first, or set QUORVEL_WIC_DLL32")
endif()

file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}/x86")
set(files quorvel.exe "${PROGRAM}" quorvel-wic.dll "${CODEC}" README.md "${SOURCE_DIR}/README.md"
    LICENSE "${SOURCE_DIR}/LICENSE" quorvel.wxs "${CMAKE_CURRENT_LIST_DIR}/quorvel.wxs")
if(ARCH STREQUAL "x64")
  list(APPEND files x86/quorvel-wic.dll "${CODEC32}")
endif()
string(TIMESTAMP epoch "%s" UTC)
string(TIMESTAMP stamp "%Y/%m/%d %H:%M:%S" UTC)
set(inputs "${ARCH} ${VERSION}")
while(files)
  list(POP_FRONT files name source)
  file(COPY_FILE "${source}" "${STAGE}/${name}")
  if(name MATCHES "\\.(exe|dll)$")
    execute_process(COMMAND "${STRIP}" "${STAGE}/${name}" COMMAND_ERROR_IS_FATAL ANY)  # as cpack's zip has them
  endif()
  execute_process(COMMAND touch -d "@${epoch}" "${STAGE}/${name}" COMMAND_ERROR_IS_FATAL ANY)  # the cabinet keeps it
  file(SHA256 "${STAGE}/${name}" hash)
  string(APPEND inputs " ${name} ${hash}")
endwhile()

# A new product code for each version (a major upgrade); a package code for
# each different package; the components' codes for good, per architecture.
macro(derived variable name)
  string(UUID ${variable} NAMESPACE ${UPGRADE_CODE} NAME "${name}" TYPE SHA1 UPPER)
endmacro()
derived(product_code "product ${VERSION}")
derived(package_code "package ${inputs}")
set(defines -D Arch=${ARCH} -D Version=${VERSION} -D UpgradeCode=${UPGRADE_CODE} -D ProductCode=${product_code})
foreach(component Program Documents Codec Codec32)
  derived(guid "component ${component}")
  list(APPEND defines -D ${component}Guid=${guid})
endforeach()
if(ARCH STREQUAL "x64")
  list(APPEND defines -D Win64=yes)
else()
  list(APPEND defines -D Win64=no)
endif()
execute_process(COMMAND "${WIXL}" -a ${ARCH} ${defines} -o quorvel.msi quorvel.wxs
                WORKING_DIRECTORY "${STAGE}" COMMAND_ERROR_IS_FATAL ANY)

# The folder joins the system's PATH, and leaves it on removal (=-*: set,
# removed with the product, for the machine; [~]; appends to what is there).
file(WRITE "${STAGE}/Environment.idt"
     "Environment\tName\tValue\tComponent_\r\ns72\tl255\tS255\ts72\r\nEnvironment\tEnvironment\r\n"
     "Path\t=-*PATH\t[~];[INSTALLDIR]\tProgram\r\n")
execute_process(COMMAND "${MSIINFO}" export quorvel.msi _SummaryInformation WORKING_DIRECTORY "${STAGE}"
                OUTPUT_VARIABLE summary COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "\n9\t[^\r\n]*" "\n9\t{${package_code}}" summary "${summary}")
string(REGEX REPLACE "\n(1[23])\t[^\r\n]*" "\n\\1\t${stamp}" summary "${summary}")
file(WRITE "${STAGE}/_SummaryInformation.idt" "${summary}")
execute_process(COMMAND "${MSIBUILD}" quorvel.msi -i Environment.idt
                  -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)"
                  -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)"
                  -i _SummaryInformation.idt
                WORKING_DIRECTORY "${STAGE}" COMMAND_ERROR_IS_FATAL ANY)
file(COPY_FILE "${STAGE}/quorvel.msi" "${OUTPUT}")
