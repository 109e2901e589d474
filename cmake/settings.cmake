# Build-time settings of the launcher. Production defaults; demo and test
# builds point them at the local store (see scripts/).
set(LAUNCHER_PRODUCT "brelvant-x64-sql" CACHE STRING "Built-in product identifier (string resource 10000); empty lets the file name decide")
set(LAUNCHER_MATRIX_URL "https://service.brelvant.example/docs/product-matrix.pdf" CACHE STRING "Address of the product-matrix document")
set(LAUNCHER_DOWNLOAD_HOST "brelvantdl.blob.core.windows.net" CACHE STRING "Host of the download blob store")
set(LAUNCHER_DOWNLOAD_PORT "0" CACHE STRING "Port of the download blob store (0 = scheme default)")
set(LAUNCHER_DOWNLOAD_FALLBACK_HOSTS "" CACHE STRING "Comma-separated host[:port] list serving the same objects, tried in order after the download host")
set(LAUNCHER_INDEX_KEYS "" CACHE FILEPATH "File of PEM public keys the release index must be signed with; empty: the index is not verified")
set(LAUNCHER_TELEMETRY_HOST "brelvanttelemetry.table.core.windows.net" CACHE STRING "Host of the telemetry table store; empty sends nothing")
set(LAUNCHER_TELEMETRY_PORT "0" CACHE STRING "Port of the telemetry table store (0 = scheme default)")
set(LAUNCHER_TELEMETRY_ACCOUNT "brelvanttele" CACHE STRING "Storage account of the telemetry table")
set(LAUNCHER_TELEMETRY_KEY "" CACHE STRING "Account key of the telemetry table, Base64 as the portal shows it (test builds; a Release build needs LAUNCHER_ALLOW_ACCOUNT_KEY)")
set(LAUNCHER_TELEMETRY_SAS "" CACHE STRING "Table SAS token (add rights only); when set it is used, and the account key is not built in")
option(LAUNCHER_ALLOW_ACCOUNT_KEY "Let a Release build carry the telemetry account key" OFF)
set(LAUNCHER_CA_FILE "" CACHE FILEPATH "Extra trusted CA file (demo and test builds only; empty in production)")
set(LAUNCHER_COMPANY "Brelvant" CACHE STRING "Company named in the executable's version information")
set(LAUNCHER_DESCRIPTION "Download and install launcher" CACHE STRING "Description in the executable's version information")

# A malformed fallback entry would be left out of the program silently.
string(REPLACE "," ";" _launcher_fallbacks "${LAUNCHER_DOWNLOAD_FALLBACK_HOSTS}")
foreach(_launcher_entry IN LISTS _launcher_fallbacks)
  string(STRIP "${_launcher_entry}" _launcher_entry)
  if(_launcher_entry STREQUAL "")
    continue()
  endif()
  if(NOT _launcher_entry MATCHES "^[A-Za-z0-9][A-Za-z0-9.-]*(:([0-9]+))?$" OR CMAKE_MATCH_2 GREATER 65535)
    message(FATAL_ERROR "LAUNCHER_DOWNLOAD_FALLBACK_HOSTS: '${_launcher_entry}' is not host[:port]")
  endif()
endforeach()

# The launcher's own version number: compared with a release's required
# launcher version and sent with every usage record. Not a setting.
set(LAUNCHER_VERSION 4)

# Anyone can read a key out of a program they downloaded, and the account key
# gives full control of the storage account: a SAS replaces it, and a
# Release build carries it only when told so explicitly.
set(LAUNCHER_TELEMETRY_KEY_BUILT_IN "${LAUNCHER_TELEMETRY_KEY}")
if(NOT LAUNCHER_TELEMETRY_SAS STREQUAL "")
  set(LAUNCHER_TELEMETRY_KEY_BUILT_IN "")
elseif(NOT LAUNCHER_TELEMETRY_KEY STREQUAL "" AND CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT LAUNCHER_ALLOW_ACCOUNT_KEY)
  message(FATAL_ERROR "LAUNCHER_TELEMETRY_KEY would put the storage account's key into a Release launcher, where "
    "anyone can read it. Give a table SAS token limited to adding entities in LAUNCHER_TELEMETRY_SAS instead "
    "(docs/telemetry.md), or pass -DLAUNCHER_ALLOW_ACCOUNT_KEY=ON for a test build.")
endif()

if(NOT LAUNCHER_CA_FILE STREQUAL "")
  set(ca_file_note "LAUNCHER_CA_FILE: the launcher trusts ${LAUNCHER_CA_FILE} besides the system's certificate "
    "authorities. That is for test and demo builds only, never for a launcher that is shipped.")
  if(CMAKE_BUILD_TYPE STREQUAL "Release")
    message(WARNING ${ca_file_note})
  else()
    message(STATUS ${ca_file_note})
  endif()
endif()

# The index keys are compiled in as text (build_settings.h), read again
# whenever the file changes.
set(LAUNCHER_INDEX_KEYS_TEXT "")
if(NOT LAUNCHER_INDEX_KEYS STREQUAL "")
  if(NOT EXISTS "${LAUNCHER_INDEX_KEYS}")
    message(FATAL_ERROR "LAUNCHER_INDEX_KEYS names ${LAUNCHER_INDEX_KEYS}, which does not exist "
      "(setuppublish keygen makes a key pair; scripts/index-keys the test and demo pair)")
  endif()
  file(READ "${LAUNCHER_INDEX_KEYS}" LAUNCHER_INDEX_KEYS_TEXT)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${LAUNCHER_INDEX_KEYS}")
  if(NOT LAUNCHER_INDEX_KEYS_TEXT MATCHES "-----BEGIN PUBLIC KEY-----" OR LAUNCHER_INDEX_KEYS_TEXT MATCHES "\\)pem\"")
    message(FATAL_ERROR "LAUNCHER_INDEX_KEYS: ${LAUNCHER_INDEX_KEYS} holds no PEM public key")
  endif()
elseif(CMAKE_BUILD_TYPE STREQUAL "Release")
  message(WARNING "LAUNCHER_INDEX_KEYS is empty: this launcher does not verify its release index, so whoever "
    "can write to the download store decides what it starts. Give the index signing public key "
    "(README, \"Signed releases\").")
endif()
