# Per-user install. The program keeps its lists in its working directory and writes updates.zip beside
# its own file, so the prefix is one writable program directory holding both:
#
#   cmake --install build --prefix ~/.local/share/castora-player      (or scripts/install-user.sh)
#
# The binary is replaced on every install. The sample lists (global.dat, source.dat, country.dat,
# genre.dat) and tone.wav are copied only when absent: an update may have brought newer ones, and
# local.dat is the user's own and never shipped. The launcher, icon and AppStream file go to the user's
# XDG data directory ($XDG_DATA_HOME, else ~/.local/share), read when `cmake --install` runs.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND DEFINED ENV{HOME})
  set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/.local/share/castora-player" CACHE PATH "Program directory" FORCE)
endif()

install(TARGETS castora-player RUNTIME DESTINATION .)

# Configure-time paths for the install-time code below.
install(CODE "
set(CASTORA_SAMPLE_DIR \"${CMAKE_SOURCE_DIR}/data\")
set(CASTORA_DESKTOP_DIR \"${CMAKE_SOURCE_DIR}/desktop\")
")

install(CODE [[
# The launcher needs absolute paths, whatever --prefix was given as.
get_filename_component(_castora_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
set(_castora_dir "$ENV{DESTDIR}${_castora_prefix}")

# Lists that may already hold the user's or an update's data are kept.
file(GLOB _castora_samples "${CASTORA_SAMPLE_DIR}/*")
foreach(_f IN LISTS _castora_samples)
  get_filename_component(_name "${_f}" NAME)
  if(_name STREQUAL "local.dat" OR _name STREQUAL "local_tmp.dat" OR _name STREQUAL "updates.zip")
    continue()
  endif()
  if(EXISTS "${_castora_dir}/${_name}")
    message(STATUS "Keeping: ${_castora_dir}/${_name}")
  else()
    file(INSTALL "${_f}" DESTINATION "${_castora_dir}")
  endif()
endforeach()

if(DEFINED ENV{XDG_DATA_HOME} AND NOT "$ENV{XDG_DATA_HOME}" STREQUAL "")
  set(_castora_xdg "$ENV{XDG_DATA_HOME}")
elseif(DEFINED ENV{HOME})
  set(_castora_xdg "$ENV{HOME}/.local/share")
else()
  message(FATAL_ERROR "Neither XDG_DATA_HOME nor HOME is set: no place for the launcher")
endif()
set(_castora_xdg "$ENV{DESTDIR}${_castora_xdg}")

# Desktop entry values: backslashes are escaped in every string; Exec additionally quotes an argument
# holding reserved characters and doubles "%" so no field code is read into the path.
set(_castora_bin "${_castora_prefix}/castora-player")
string(REPLACE "%" "%%" _exec "${_castora_bin}")
if(_exec MATCHES "[] \t\n\"'\\><~|&;$*?#()`[]")
  string(REGEX REPLACE "([\"`$\\])" "\\\\\\1" _exec "${_exec}")
  set(_exec "\"${_exec}\"")
endif()
string(REPLACE "\\" "\\\\" CASTORA_DESKTOP_EXEC "${_exec}")
string(REPLACE "\\" "\\\\" CASTORA_DESKTOP_PATH "${_castora_prefix}")

file(READ "${CASTORA_DESKTOP_DIR}/castora-player.desktop.in" _entry)
string(CONFIGURE "${_entry}" _entry @ONLY)
set(_castora_entry "${_castora_xdg}/applications/castora-player.desktop")
message(STATUS "Installing: ${_castora_entry}")
file(WRITE "${_castora_entry}" "${_entry}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_castora_entry}")

file(INSTALL "${CASTORA_DESKTOP_DIR}/castora-player.svg"
     DESTINATION "${_castora_xdg}/icons/hicolor/scalable/apps")
file(INSTALL "${CASTORA_DESKTOP_DIR}/org.castora.Player.metainfo.xml" DESTINATION "${_castora_xdg}/metainfo")
]])
