# Installs a configured build into a staging folder (DESTDIR) under prefixes that need quoting in
# a desktop entry, and checks what lands there: the program in its own folder, the command link,
# the icon, a menu entry whose Exec line names the program, the metainfo, the manual page and the
# licence; the entry and the metainfo must pass desktop-file-validate and appstreamcli.
#   cmake -DBUILD_DIR=<build> -DAPP_ID=<id> -DVERSION=<version> -DVALIDATE=<desktop-file-validate>
#         -DAPPSTREAMCLI=<appstreamcli> -P check-install.cmake
cmake_minimum_required(VERSION 3.25)

set(stage "${BUILD_DIR}/install-check")
foreach(tool VALIDATE APPSTREAMCLI)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} not found: install desktop-file-utils and appstream (scripts/install-deps.sh test does)")
  endif()
endforeach()

function(fail message)
  message(FATAL_ERROR "${message}")
endfunction()

# Each case: a prefix, then the Exec value the entry must carry for it.
set(prefixes "/opt/quindle" "/opt/with space/Quindle's $HOME%d \"x\"" "/usr")
set(execs [[Exec="/opt/quindle/bin/quindle2" %f]]
          [[Exec="/opt/with space/Quindle's \\$HOME%%d \\"x\\"/bin/quindle2" %f]] "Exec=quindle2 %f")

# Naming the component (all our files are in the default one) makes the install write its list of
# files to install_manifest_Unspecified.txt, so a real install's install_manifest.txt stays intact.
foreach(i RANGE 2)
  list(GET prefixes ${i} prefix)
  list(GET execs ${i} expectedExec)
  file(REMOVE_RECURSE "${stage}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${stage}"
                          ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}" --component Unspecified
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    fail("install under '${prefix}' failed: ${output}")
  endif()
  set(root "${stage}${prefix}")

  set(program "${root}/lib/quindle2/quindle2")
  if(NOT EXISTS "${program}" OR IS_SYMLINK "${program}")
    fail("the program is not installed as a file at ${program}")
  endif()
  file(READ "${program}" magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46")
    fail("${program} is not an executable (ELF) file")
  endif()

  set(command "${root}/bin/quindle2")
  if(NOT IS_SYMLINK "${command}")
    fail("${command} is not a symbolic link")
  endif()
  file(READ_SYMLINK "${command}" target)
  if(NOT target STREQUAL "../lib/quindle2/quindle2")
    fail("${command} points to '${target}', not relatively to the program")
  endif()
  file(REAL_PATH "${command}" resolved)
  file(REAL_PATH "${program}" programReal)
  if(NOT resolved STREQUAL programReal)
    fail("${command} resolves to ${resolved}, not to ${programReal}")
  endif()

  if(NOT EXISTS "${root}/share/icons/hicolor/scalable/apps/quindle2.svg")
    fail("the icon is not installed under share/icons/hicolor/scalable/apps")
  endif()

  foreach(file "share/metainfo/${APP_ID}.metainfo.xml" "share/man/man1/quindle2.1.gz"
               "share/doc/quindle2/LICENSE")
    if(NOT EXISTS "${root}/${file}")
      fail("${file} is not installed")
    endif()
  endforeach()
  # One id for the metainfo, its desktop entry and the window (the program sets it as its app id).
  file(READ "${root}/share/metainfo/${APP_ID}.metainfo.xml" metainfo)
  foreach(expected "<id>${APP_ID}</id>" "<launchable type=\"desktop-id\">${APP_ID}.desktop</launchable>"
                   "<release version=\"${VERSION}\"")
    string(FIND "${metainfo}" "${expected}" at)
    if(at LESS 0)
      fail("the metainfo lacks ${expected}")
    endif()
  endforeach()
  execute_process(COMMAND "${APPSTREAMCLI}" validate --no-net "${root}/share/metainfo/${APP_ID}.metainfo.xml"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    fail("appstreamcli rejects the metainfo:\n${output}")
  endif()

  set(entry "${root}/share/applications/${APP_ID}.desktop")
  if(NOT EXISTS "${entry}")
    fail("the menu entry ${entry} is not installed")
  endif()
  file(STRINGS "${entry}" lines)
  foreach(expected "${expectedExec}" "Icon=quindle2" "Name=QuindleII" "Terminal=false")
    if(NOT expected IN_LIST lines)
      fail("${entry} lacks the line ${expected}; it holds:\n${lines}")
    endif()
  endforeach()
  execute_process(COMMAND "${VALIDATE}" "${entry}" RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  # Hints are advice (HamRadio "can be extended" with Audio or Network, which this is not).
  if(NOT result EQUAL 0 OR output MATCHES "(error|warning):")
    fail("desktop-file-validate rejects ${entry}:\n${output}")
  endif()
endforeach()
file(REMOVE_RECURSE "${stage}" "${BUILD_DIR}/install_manifest_Unspecified.txt")
