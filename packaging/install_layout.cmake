# Where an installation of Varnok puts what, worked out when it is installed
# (the prefix of "cmake --install --prefix DIR" is only known then). Included
# by the install rules and, for the package's list of configuration files,
# at configure time.
#
# The program runs from its own folder, <prefix>/<program dir>, and reads
# varnok.ini, varnok.ban, varnok.vip and varnok.txt from there; those are
# symbolic links to the configuration folder, so the configuration lives
# where the administrator looks for it and the program folder stays
# read-only.

# The configuration folder for an installation to prefix, by the rule the
# GNU directory variables follow: /usr and / keep it in /etc, /opt/<name> in
# /etc/opt/<name>, any other prefix in <prefix>/etc. An absolute sysconfdir
# is taken as it is.
function(varnok_config_dir prefix sysconfdir out)
  if(IS_ABSOLUTE "${sysconfdir}")
    set(dir "${sysconfdir}")
  elseif(sysconfdir STREQUAL "etc" AND (prefix STREQUAL "/usr" OR prefix STREQUAL "/"))
    set(dir "/etc")
  elseif(sysconfdir STREQUAL "etc" AND prefix MATCHES "^/opt/")
    set(dir "/etc${prefix}")
  else()
    set(dir "${prefix}/${sysconfdir}")
  endif()
  string(REGEX REPLACE "/+$" "" dir "${dir}")
  set(${out} "${dir}/varnok" PARENT_SCOPE)
endfunction()

# The systemd system unit folder: the system's own for /usr (on Debian 12
# /lib/systemd/system), <prefix>/lib/systemd/system otherwise, which systemd
# searches for /usr/local.
function(varnok_unit_dir prefix system_unit_dir out)
  if(prefix STREQUAL "/usr" AND system_unit_dir)
    set(${out} "${system_unit_dir}" PARENT_SCOPE)
  else()
    set(${out} "${prefix}/lib/systemd/system" PARENT_SCOPE)
  endif()
endfunction()

# Writes a file of the installation under DESTDIR and lists it in the
# install manifest. A macro: the manifest belongs to the install script.
macro(varnok_note_installed path)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${path}")
endmacro()

# The parts that depend on the prefix: the link in bin, the configuration
# files and their links in the program folder, and the system unit.
#   source_dir       the source tree (packaging/config/, examples/varnok.txt)
#   program_dir      the program folder, relative to the prefix
#   sysconfdir       CMAKE_INSTALL_SYSCONFDIR
#   system_unit_dir  the system's unit folder (may be empty)
macro(varnok_install_layout source_dir program_dir sysconfdir system_unit_dir)
  set(_prefix "${CMAKE_INSTALL_PREFIX}")
  string(REGEX REPLACE "(.)/+$" "\\1" _prefix "${_prefix}")
  set(_program_dir "${_prefix}/${program_dir}")
  varnok_config_dir("${_prefix}" "${sysconfdir}" _config_dir)
  varnok_unit_dir("${_prefix}" "${system_unit_dir}" _unit_dir)

  # bin/varnok: a relative link, so a staged tree (DESTDIR) is right as it is.
  file(RELATIVE_PATH _target "${_prefix}/bin" "${_program_dir}/varnok")
  message(STATUS "Linking: $ENV{DESTDIR}${_prefix}/bin/varnok -> ${_target}")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${_prefix}/bin")
  file(CREATE_LINK "${_target}" "$ENV{DESTDIR}${_prefix}/bin/varnok" SYMBOLIC)
  varnok_note_installed("${_prefix}/bin/varnok")

  foreach(_name varnok.ini varnok.ban varnok.vip varnok.txt)
    # An administrator's configuration is never overwritten by a reinstall.
    if(EXISTS "$ENV{DESTDIR}${_config_dir}/${_name}")
      message(STATUS "Keeping: $ENV{DESTDIR}${_config_dir}/${_name}")
      varnok_note_installed("${_config_dir}/${_name}")
    else()
      # Prepends DESTDIR and notes the file in the manifest itself.
      # The production configuration and access lists; the Info text is
      # the demo's.
      set(_from "${source_dir}/packaging/config/${_name}")
      if(_name STREQUAL "varnok.txt")
        set(_from "${source_dir}/examples/${_name}")
      endif()
      file(INSTALL DESTINATION "${_config_dir}" TYPE FILE
           PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
           FILES "${_from}")
    endif()
    # Absolute: the configuration may lie outside the prefix (/etc for /usr).
    message(STATUS "Linking: $ENV{DESTDIR}${_program_dir}/${_name} -> ${_config_dir}/${_name}")
    file(CREATE_LINK "${_config_dir}/${_name}" "$ENV{DESTDIR}${_program_dir}/${_name}" SYMBOLIC)
    varnok_note_installed("${_program_dir}/${_name}")
  endforeach()

  set(VARNOK_EXEC "${_prefix}/bin/varnok")
  set(VARNOK_PROGRAM_DIR "${_program_dir}")
  set(VARNOK_CONFIG_DIR "${_config_dir}")
  message(STATUS "Installing: $ENV{DESTDIR}${_unit_dir}/varnok.service")
  configure_file("${source_dir}/packaging/varnok.service.in"
                 "$ENV{DESTDIR}${_unit_dir}/varnok.service" @ONLY)
  varnok_note_installed("${_unit_dir}/varnok.service")
endmacro()
