# Installs a configured build into a staging folder (DESTDIR) under prefixes that need quoting in
# a desktop entry, and checks what lands there: the program (in bin/ under /usr, else in its own
# folder with a command link), the icon, a menu entry whose Exec line names the program, the
# metainfo, the manual page, the licence and the README; the entry, the metainfo and the manual
# page must pass desktop-file-validate, appstreamcli --pedantic and mandoc -Tlint. The release
# (version and date) must head the metainfo's releases, each of which has a description, and
# debian/changelog (when there is one) must be of that version, each of its versions released.
#   cmake -DBUILD_DIR=<build> -DAPP_ID=<id> -DVERSION=<version> -DRELEASE_DATE=<yyyy-mm-dd>
#         -DCHANGELOG=<debian/changelog> -DVALIDATE=<desktop-file-validate> -DAPPSTREAMCLI=<appstreamcli>
#         -DMANDOC=<mandoc> -P check-install.cmake
cmake_minimum_required(VERSION 3.25)

set(stage "${BUILD_DIR}/install-check")
foreach(tool VALIDATE APPSTREAMCLI MANDOC)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} not found: install desktop-file-utils, appstream and mandoc (scripts/install-deps.sh test does)")
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

  if(prefix STREQUAL "/usr")
    set(program "${root}/bin/quindle2")
    if(EXISTS "${root}/lib/quindle2")
      fail("lib/quindle2 is installed under /usr, where the program belongs in bin/")
    endif()
  else()
    set(program "${root}/lib/quindle2/quindle2")
  endif()
  if(NOT EXISTS "${program}" OR IS_SYMLINK "${program}")
    fail("the program is not installed as a file at ${program}")
  endif()
  file(READ "${program}" magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46")
    fail("${program} is not an executable (ELF) file")
  endif()

  set(command "${root}/bin/quindle2")
  if(NOT command STREQUAL program)
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
  endif()

  if(NOT EXISTS "${root}/share/icons/hicolor/scalable/apps/${APP_ID}.svg")
    fail("the icon is not installed under share/icons/hicolor/scalable/apps")
  endif()

  foreach(file "share/metainfo/${APP_ID}.metainfo.xml" "share/man/man1/quindle2.1.gz"
               "share/doc/quindle2/LICENSE" "share/doc/quindle2/README.md" "share/doc/quindle2/docs/screenshot.png")
    if(NOT EXISTS "${root}/${file}")
      fail("${file} is not installed")
    endif()
  endforeach()
  # One id for the metainfo, its desktop entry and the window (the program sets it as its app id).
  file(READ "${root}/share/metainfo/${APP_ID}.metainfo.xml" metainfo)
  foreach(expected "<id>${APP_ID}</id>" "<launchable type=\"desktop-id\">${APP_ID}.desktop</launchable>")
    string(FIND "${metainfo}" "${expected}" at)
    if(at LESS 0)
      fail("the metainfo lacks ${expected}")
    endif()
  endforeach()
  # Debian 12's appstream (0.16.1) predates <developer>, which replaces <developer_name>, and notes
  # it as an unknown tag; that and the app id's capital letter (pedantic) are notes, not failures.
  execute_process(COMMAND "${APPSTREAMCLI}" validate --pedantic --no-net "${root}/share/metainfo/${APP_ID}.metainfo.xml"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    fail("appstreamcli rejects the metainfo:\n${output}")
  endif()

  set(entry "${root}/share/applications/${APP_ID}.desktop")
  if(NOT EXISTS "${entry}")
    fail("the menu entry ${entry} is not installed")
  endif()
  file(STRINGS "${entry}" lines)
  foreach(expected "${expectedExec}" "Icon=${APP_ID}" "Name=QuindleII" "Terminal=false")
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

# The release: the first of the metainfo's, each with a description.
string(REGEX MATCHALL "<release [^>]*>" releases "${metainfo}")
list(GET releases 0 newest)
if(NOT newest MATCHES "version=\"${VERSION}\" date=\"${RELEASE_DATE}\"")
  fail("the metainfo's first release is ${newest}, not ${VERSION} of ${RELEASE_DATE}")
endif()
string(REGEX MATCHALL "<release [^/>]*>[ \n]*<description>" described "${metainfo}")
list(LENGTH releases count)
list(LENGTH described describedCount)
if(NOT count EQUAL describedCount)
  fail("${count} releases in the metainfo, but only ${describedCount} with a description")
endif()

# A package's changelog is of this release (its Debian revision and epoch apart), and each of its
# versions is one of the metainfo's releases.
if(EXISTS "${CHANGELOG}")
  file(STRINGS "${CHANGELOG}" headings REGEX "^[a-z0-9][^ ]* \\(")
  foreach(heading IN LISTS headings)
    string(REGEX REPLACE "^[^ ]+ \\(([0-9]+:)?([^)]+)\\).*" "\\2" version "${heading}")
    string(REGEX REPLACE "-[^-]+$" "" version "${version}")
    if(NOT DEFINED first)
      set(first "${version}")
    endif()
    if(NOT metainfo MATCHES "<release version=\"${version}\"")
      fail("${CHANGELOG} has version ${version}, which the metainfo's releases lack")
    endif()
  endforeach()
  if(NOT first STREQUAL VERSION)
    fail("${CHANGELOG} is of version ${first}, not of the release ${VERSION}")
  endif()
endif()

# The manual page names the release's version and date, and mandoc finds nothing to report.
file(STRINGS "${BUILD_DIR}/install/quindle2.1" th REGEX "^\\.TH ")
if(NOT th STREQUAL ".TH QUINDLE2 1 ${RELEASE_DATE} \"quindle2 ${VERSION}\" \"User Commands\"")
  fail("the manual page's heading is ${th}")
endif()
execute_process(COMMAND "${MANDOC}" -Tlint "${BUILD_DIR}/install/quindle2.1"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  fail("mandoc -Tlint reports on the manual page:\n${output}")
endif()
