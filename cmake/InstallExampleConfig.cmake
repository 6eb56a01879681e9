# Runs at install time (install(CODE) includes it), so that the example
# configuration names the directories of the prefix actually installed to,
# also when `cmake --install --prefix` differs from the configured one.
# Expects VANDREL_CONFIG_SOURCE_DIR, VANDREL_CONFIG_BINARY_DIR and the relative
# install directories VANDREL_SYSCONFDIR_REL, VANDREL_LOCALSTATEDIR_REL and
# VANDREL_DATADIR_REL.

# GNUInstallDirs' rule for a full directory: below /usr the configuration and
# state live in /etc and /var, below /opt/NAME in /etc/opt/NAME and
# /var/opt/NAME, elsewhere below the prefix.
function(vandrel_full_dir out dir)
  string(REGEX REPLACE "/+$" "" prefix "${CMAKE_INSTALL_PREFIX}")
  if(IS_ABSOLUTE "${dir}")
    set(full "${dir}")
  elseif(dir MATCHES "^(etc|var)$" AND prefix STREQUAL "/usr")
    set(full "/${dir}")
  elseif(dir MATCHES "^(etc|var)$" AND prefix MATCHES "^/opt/([^/]+)$")
    set(full "/${dir}/opt/${CMAKE_MATCH_1}")
  else()
    set(full "${prefix}/${dir}")
  endif()
  set(${out} "${full}" PARENT_SCOPE)
endfunction()

vandrel_full_dir(VANDREL_SYSCONFDIR "${VANDREL_SYSCONFDIR_REL}")
vandrel_full_dir(VANDREL_LOCALSTATEDIR "${VANDREL_LOCALSTATEDIR_REL}")
vandrel_full_dir(VANDREL_DATADIR "${VANDREL_DATADIR_REL}")

set(destination "${VANDREL_SYSCONFDIR}/vdpk")
# A staging directory of this install's own: two installs from one build
# directory at the same time (with different prefixes) must not share files.
string(RANDOM LENGTH 12 staging)
set(staging "${VANDREL_CONFIG_BINARY_DIR}/${staging}")
foreach(name pkg.yml build.yml)
  set(installed "${name}")
  # A configuration already in place is the administrator's: the example goes
  # beside it as NAME.new instead of replacing it.
  if(EXISTS "$ENV{DESTDIR}${destination}/${name}")
    set(installed "${name}.new")
  endif()
  configure_file("${VANDREL_CONFIG_SOURCE_DIR}/${name}.in" "${staging}/${installed}" @ONLY)
  file(INSTALL DESTINATION "${destination}" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${staging}/${installed}")
endforeach()
file(REMOVE_RECURSE "${staging}")
