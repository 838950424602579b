# Installs the answering machine's service: the wrapper, the systemd unit
# and the example conf file.  Run at install time, because the paths they
# name follow the prefix being installed to, and cpack installs under /usr
# whatever prefix the build was configured with: the package gets
# /usr/libexec/orvex/orvex-answer and /etc/orvex.
#
# Set by the caller: ORVEX_PACKAGING_SOURCE, ORVEX_PACKAGING_BINARY,
# ORVEX_LIBEXECDIR (relative to the prefix).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(confDir /etc/orvex)
else()
  set(confDir ${CMAKE_INSTALL_PREFIX}/etc/orvex)
endif()
set(wrapper ${CMAKE_INSTALL_PREFIX}/${ORVEX_LIBEXECDIR}/orvex/orvex-answer)

set(made ${ORVEX_PACKAGING_BINARY}/made)
file(MAKE_DIRECTORY ${made})

file(READ ${ORVEX_PACKAGING_SOURCE}/orvex-answer text)
string(REPLACE "readonly confDir=/etc/orvex" "readonly confDir=${confDir}" text "${text}")
file(WRITE ${made}/orvex-answer "${text}")

file(READ ${ORVEX_PACKAGING_SOURCE}/orvex-answer@.service text)
string(REPLACE "/usr/libexec/orvex/orvex-answer" "${wrapper}" text "${text}")
file(WRITE ${made}/orvex-answer@.service "${text}")

file(INSTALL ${made}/orvex-answer DESTINATION ${CMAKE_INSTALL_PREFIX}/${ORVEX_LIBEXECDIR}/orvex
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(INSTALL ${made}/orvex-answer@.service DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL ${ORVEX_PACKAGING_SOURCE}/example.conf DESTINATION ${confDir}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
