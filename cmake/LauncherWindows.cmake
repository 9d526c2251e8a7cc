# What makes the launcher a Windows executable: its resources (icon, version
# record, manifest, from resources/) and the header settings of the image.
set(LAUNCHER_PRODUCT_NAME "Quillmark Dedicated Server")
set(LAUNCHER_COMPANY_NAME "Quillmark Works")
# As LICENSE says: the holder, and the licence it is given under.
set(LAUNCHER_COPYRIGHT "Copyright (C) 2026 Quillmark Works. MIT License.")

function(launcher_windows_executable target)
  set(resources "${PROJECT_SOURCE_DIR}/resources")
  set(LAUNCHER_ICON_FILE "${resources}/launcher.ico")
  set(LAUNCHER_MANIFEST_FILE "${resources}/launcher.manifest")
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  set(LAUNCHER_FILE_NAME "${output_name}${CMAKE_EXECUTABLE_SUFFIX}")

  set(rc_file "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc")
  configure_file("${resources}/launcher.rc.in" "${rc_file}" @ONLY)
  target_sources(${target} PRIVATE "${rc_file}")
  set_property(SOURCE "${rc_file}" APPEND PROPERTY
    OBJECT_DEPENDS "${LAUNCHER_ICON_FILE};${LAUNCHER_MANIFEST_FILE}")

  # Console program for Windows Vista (6.0) and later, relocatable at a
  # random address (ASLR, with 64-bit addresses on x64), data not executable
  # (NX), aware of terminal servers, with 1 MiB of stack reserved.
  target_link_options(${target} PRIVATE
    -Wl,--subsystem,console:6.0
    -Wl,--major-os-version,6 -Wl,--minor-os-version,0
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware
    -Wl,--stack,0x100000)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    target_link_options(${target} PRIVATE -Wl,--high-entropy-va)
  endif()
endfunction()
