# CPack settings for the .deb (Debian 12) and the .rpm (RHEL and SLES, POWER
# first). The package architecture follows the target of the build, so the
# ppc64le cross build yields ppc64el / ppc64le packages.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(ppc64le|powerpc64le)$")
  set(deb_arch ppc64el)
  set(rpm_arch ppc64le)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(deb_arch amd64)
  set(rpm_arch x86_64)
else()
  set(deb_arch ${CMAKE_SYSTEM_PROCESSOR})
  set(rpm_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR "DEB;RPM")
set(CPACK_PACKAGE_NAME ornix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Ornix developers")
set(CPACK_PACKAGE_CONTACT "Ornix developers <packages@ornix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "antivirus suite for Linux servers using ClamAV's clamd")
set(CPACK_PACKAGE_DESCRIPTION
    "Ornix scans files on Linux servers through ClamAV's scanning daemon clamd.
It ships an on-demand file scanner with a result cache and a save tree
(ornixfs), an engine supervisor that writes clamd's configuration and starts
and stops it (ornix), and an updater (ornixup), with systemd units and timers
for the engine, a nightly scan and the daily update.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_SET_DESTDIR OFF)

set(pkg_scripts ${CMAKE_CURRENT_BINARY_DIR}/scripts)
list(JOIN units " " ORNIX_UNITS)
foreach(s postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/deb/${s}.in ${pkg_scripts}/deb/${s} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
endforeach()

# Every file under the configuration directory is the administrator's once
# installed: conffiles for dpkg, %config(noreplace) for rpm.
set(conf_files ${ORNIX_SYSCONFDIR}/ornix.conf ${ORNIX_SYSCONFDIR}/clamd.append
    ${ORNIX_SYSCONFDIR}/ornixfs-scan.conf ${ORNIX_LOGROTATEDIR}/ornix)
foreach(t IN LISTS templates)
  list(APPEND conf_files ${ORNIX_SYSCONFDIR}/template/${t})
endforeach()
list(JOIN conf_files "\n" conffiles_text)
file(WRITE ${pkg_scripts}/deb/conffiles "${conffiles_text}\n")

# --- .deb ----------------------------------------------------------------------
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://ornix.invalid/")
# Fixed rather than from dpkg-shlibdeps, which cannot read the cross build's
# libraries; the floor is Debian 12's.
set(deb_depends "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
# A cross build links libsodium statically from ORNIX_SODIUM_ROOT.
if(TARGET ornixup AND NOT ORNIX_SODIUM_ROOT)
  string(APPEND deb_depends ", libsodium23 (>= 1.0.18)")
endif()
string(APPEND deb_depends ", clamav-daemon, clamav-freshclam, clamdscan, wget")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${deb_depends}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${pkg_scripts}/deb/conffiles ${pkg_scripts}/deb/postinst ${pkg_scripts}/deb/prerm
    ${pkg_scripts}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/deb/lintian-overrides
        DESTINATION /usr/share/lintian/overrides RENAME ornix)

# --- .rpm ----------------------------------------------------------------------
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_ARCHITECTURE ${rpm_arch})
set(CPACK_RPM_PACKAGE_LICENSE "Proprietary")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_URL "https://ornix.invalid/")
set(CPACK_RPM_PACKAGE_AUTOREQ ON)
# Fixed paths: the programs, units and configuration name each other.
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_PACKAGE_RELOCATABLE OFF)
# Paths rather than package names: clamd and freshclam are packaged under
# different names on RHEL (clamd, clamav-update) and SLES (clamav).
set(CPACK_RPM_PACKAGE_REQUIRES "/usr/sbin/clamd, /usr/bin/freshclam, /usr/bin/clamdscan, wget")
# The build strips and compresses itself; rpm's own post-install scripts would
# run the host's tools over another architecture's programs.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define __os_install_post %{nil}
%define _build_id_links none")
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /opt /etc/opt /var /var/opt /usr/share/man /usr/lib/systemd /usr/lib/systemd/system /usr/share/man/man5
    /usr/share/man/man8 /usr/share/bash-completion /usr/share/bash-completion/completions
    /etc/logrotate.d /usr/share/doc /usr/share/lintian /usr/share/lintian/overrides)
set(rpm_files)
foreach(f IN LISTS conf_files)
  list(APPEND rpm_files "%config(noreplace) ${f}")
endforeach()
foreach(d tmp save cache quarantine)
  list(APPEND rpm_files "%dir %attr(0700,root,root) ${ORNIX_STATEDIR}/${d}")
endforeach()
set(CPACK_RPM_USER_FILELIST ${rpm_files})
foreach(s post preun postun)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/rpm/${s}.in ${pkg_scripts}/rpm/${s} @ONLY)
endforeach()
set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE ${pkg_scripts}/rpm/post)
set(CPACK_RPM_PRE_UNINSTALL_SCRIPT_FILE ${pkg_scripts}/rpm/preun)
set(CPACK_RPM_POST_UNINSTALL_SCRIPT_FILE ${pkg_scripts}/rpm/postun)

include(CPack)
