# The MQTT client is built on libmosquitto, which Debian ships with a pkg-config file only.
pkg_check_modules(MOSQUITTO REQUIRED IMPORTED_TARGET GLOBAL libmosquitto)
target_link_libraries(ostcore PRIVATE PkgConfig::MOSQUITTO)
