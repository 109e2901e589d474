# Build-time settings of the launcher. Production defaults; demo and test
# builds point them at the local store (see scripts/).
set(LAUNCHER_PRODUCT "brelvant-x64-sql" CACHE STRING "Built-in product identifier (string resource 10000); empty lets the file name decide")
set(LAUNCHER_MATRIX_URL "https://service.brelvant.example/docs/product-matrix.pdf" CACHE STRING "Address of the product-matrix document")
set(LAUNCHER_DOWNLOAD_HOST "brelvantdl.blob.core.windows.net" CACHE STRING "Host of the download blob store")
set(LAUNCHER_DOWNLOAD_PORT "0" CACHE STRING "Port of the download blob store (0 = scheme default)")
set(LAUNCHER_DOWNLOAD_FALLBACK_HOSTS "" CACHE STRING "Comma-separated host[:port] list serving the same objects, tried in order after the download host")
set(LAUNCHER_TELEMETRY_HOST "brelvanttelemetry.table.core.windows.net" CACHE STRING "Host of the telemetry table store; empty sends nothing")
set(LAUNCHER_TELEMETRY_PORT "0" CACHE STRING "Port of the telemetry table store (0 = scheme default)")
set(LAUNCHER_TELEMETRY_ACCOUNT "brelvanttele" CACHE STRING "Storage account of the telemetry table")
set(LAUNCHER_TELEMETRY_KEY "" CACHE STRING "Account key of the telemetry table, Base64 as the portal shows it")
set(LAUNCHER_TELEMETRY_SAS "" CACHE STRING "Table SAS token (add rights only); when set it is used instead of the account key")
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
