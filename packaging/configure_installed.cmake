# Runs at install time (see CMakeLists.txt beside it): writes the host
# manifest and the user unit for the executable under CMAKE_INSTALL_PREFIX.

set(VELKOR_HOST_PATH "${CMAKE_INSTALL_PREFIX}/bin/velkor-computer-use-host")
# Plain characters keep the manifest byte for byte what `native-manifest`
# prints (nothing to escape; the prefix must hold no symbolic link, which it
# would resolve), and keep systemd from splitting the path or expanding "%".
if(NOT VELKOR_HOST_PATH MATCHES "^/[A-Za-z0-9/._+-]+$")
  message(FATAL_ERROR "cannot register ${VELKOR_HOST_PATH}: choose a prefix of plain characters")
endif()
set(VELKOR_EXTENSION_ID "${velkor_extension_id}")
configure_file("${velkor_templates}/velkor.computer_use.json.in"
  "${velkor_generated}/velkor.computer_use.json" @ONLY)
configure_file("${velkor_templates}/velkor-computer-use.service.in"
  "${velkor_generated}/velkor-computer-use.service" @ONLY)
