# The table of targets, targets.txt, read for CMake and for the scripts; and, run as a script, the files
# made from it. Its columns are named by its line "# name ...", in their order; the last one, free
# text, takes the rest of the line. This is the one reader of the table: every script asks it, by name,
# for the columns it needs.
#   include(cmake/targets.cmake): inutil_read_targets() sets INUTIL_TARGETS to the names and
#     INUTIL_TARGET_<name>_<column> to each column ("" where the table says -).
#   cmake -P cmake/targets.cmake: writes CMakePresets.json, and docs/RELEASES.md's lists of artifacts
#     and of install lines (between their <!-- ... --> marks), from the table.
#   cmake -D CHECK=ON -P cmake/targets.cmake: fails if those are not what it would write.
#   cmake -D PRINT=targets -D "COLUMNS=name triple ..." -P cmake/targets.cmake: prints each target's
#     COLUMNS, one target a line ("-" for none).
#   cmake -D PRINT=artifacts -D "COLUMNS=..." -P cmake/targets.cmake: prints the release artifacts, one
#     a line: the file, its kind (source, tarball, zip, web, deb, rpm), then its target's COLUMNS.
#   cmake -D PRINT=artifacts-here ...: the same, less those this machine cannot build (it says why).
if(CMAKE_SCRIPT_MODE_FILE)
    cmake_minimum_required(VERSION 3.25)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/version.cmake)

macro(inutil_read_targets)
    file(STRINGS "${INUTIL_ROOT}/targets.txt" _names REGEX "^# name " LIMIT_COUNT 1)
    string(REGEX MATCHALL "[^ ]+" INUTIL_TARGET_COLUMNS "${_names}")
    list(POP_FRONT INUTIL_TARGET_COLUMNS)
    list(LENGTH INUTIL_TARGET_COLUMNS _count)
    math(EXPR _before_last "${_count} - 1")
    file(STRINGS "${INUTIL_ROOT}/targets.txt" _lines REGEX "^[^#]")
    set(INUTIL_TARGETS "")
    foreach(_line IN LISTS _lines)
        string(REPEAT "[^ ]+ +" ${_before_last} _head_pattern)
        string(REGEX MATCH "^${_head_pattern}" _head "${_line}")
        string(LENGTH "${_head}" _head_length)
        string(SUBSTRING "${_line}" ${_head_length} -1 _last)
        string(REGEX MATCHALL "[^ ]+" _fields "${_head}")
        list(LENGTH _fields _fields_count)
        if(NOT _fields_count EQUAL _before_last OR _last STREQUAL "")
            message(FATAL_ERROR "targets.txt: not the ${_count} columns of its # name line: ${_line}")
        endif()
        list(APPEND _fields "${_last}")
        list(GET _fields 0 _name)
        list(APPEND INUTIL_TARGETS ${_name})
        foreach(_column _value IN ZIP_LISTS INUTIL_TARGET_COLUMNS _fields)
            if(_value STREQUAL "-")
                set(_value "")
            endif()
            set(INUTIL_TARGET_${_name}_${_column} "${_value}")
        endforeach()
    endforeach()
endmacro()

# TARGET's COLUMNS, separated by spaces, "-" for an empty one or no target.
function(inutil_target_columns out_var target columns)
    set(line "")
    foreach(column IN LISTS columns)
        if(NOT column IN_LIST INUTIL_TARGET_COLUMNS)
            message(FATAL_ERROR "targets.txt has no column ${column}: it has ${INUTIL_TARGET_COLUMNS}")
        endif()
        set(value "${INUTIL_TARGET_${target}_${column}}")
        if(value STREQUAL "")
            set(value -)
        endif()
        list(APPEND line "${value}")
    endforeach()
    list(JOIN line " " line)
    set(${out_var} "${line}" PARENT_SCOPE)
endfunction()

# The release artifacts of VERSION, one "file kind target" a line (target - for the source).
function(inutil_artifacts out_var version)
    set(lines "inutil-${version}.tar.gz source -")
    foreach(name IN LISTS INUTIL_TARGETS)
        set(t INUTIL_TARGET_${name})
        if(${t}_toolchain STREQUAL "mingw-w64")
            set(kind zip)
        elseif(${t}_toolchain STREQUAL "wasm32-wasi")
            set(kind web)
        else()
            set(kind tarball)
        endif()
        list(APPEND lines "inutil-${version}-${${t}_archive} ${kind} ${name}")
        if(${t}_deb)
            list(APPEND lines "inutil_${version}_${${t}_deb}.deb deb ${name}")
        endif()
        if(${t}_rpm)
            list(APPEND lines "inutil-${version}-1.${${t}_rpm}.rpm rpm ${name}")
        endif()
    endforeach()
    set(${out_var} "${lines}" PARENT_SCOPE)
endfunction()

# The artifacts of VERSION that this machine can build, in OUT_VAR, and why each other one cannot, in
# WHY_NOT_VAR. A Debian package for another machine links against that machine's C library,
# libc6-dev:<arch>, which scripts/install-prerequisites installs where the archive delivers it.
function(inutil_artifacts_here out_var why_not_var version)
    inutil_artifacts(artifacts ${version})
    set(here "")
    set(why_not "")
    foreach(artifact IN LISTS artifacts)
        string(REPLACE " " ";" fields "${artifact}")
        list(GET fields 0 file)
        list(GET fields 1 kind)
        list(GET fields 2 target)
        if(kind STREQUAL "deb")
            set(arch ${INUTIL_TARGET_${target}_deb})
            execute_process(COMMAND dpkg-query -W -f=\${Status} libc6-dev:${arch}
                OUTPUT_VARIABLE status ERROR_QUIET)
            if(NOT status STREQUAL "install ok installed")
                list(APPEND why_not "${file} (libc6-dev:${arch} is not installed: the archive did not deliver it)")
                continue()
            endif()
        endif()
        list(APPEND here "${artifact}")
    endforeach()
    set(${out_var} "${here}" PARENT_SCOPE)
    set(${why_not_var} "${why_not}" PARENT_SCOPE)
endfunction()

# ARTIFACTS (from inutil_artifacts) as lines "file kind COLUMNS...", COLUMNS those of each one's target.
function(inutil_artifact_lines out_var artifacts columns)
    set(lines "")
    foreach(artifact IN LISTS artifacts)
        string(REPLACE " " ";" fields "${artifact}")
        list(GET fields 0 file)
        list(GET fields 1 kind)
        list(GET fields 2 target)
        inutil_target_columns(values "${target}" "${columns}")
        string(STRIP "${file} ${kind} ${values}" line)
        list(APPEND lines "${line}")
    endforeach()
    list(JOIN lines "\n" lines)
    set(${out_var} "${lines}" PARENT_SCOPE)
endfunction()

# The cache variables that a target's toolchain file reads.
function(inutil_toolchain_settings name out_var)
    set(t INUTIL_TARGET_${name})
    set(settings "")
    if(${t}_toolchain STREQUAL "linux-cross")
        list(APPEND settings "\"INUTIL_CROSS_TRIPLE\": \"${${t}_triple}\"")
        if(NOT ${t}_libc STREQUAL "glibc")
            list(APPEND settings "\"INUTIL_MUSL\": \"${${t}_libc}\"")
        endif()
        if(${t}_emulator)
            list(APPEND settings "\"INUTIL_QEMU\": \"${${t}_emulator}\"")
        endif()
    elseif(${t}_toolchain STREQUAL "mingw-w64")
        list(APPEND settings "\"INUTIL_MINGW_TRIPLE\": \"${${t}_triple}\"" "\"INUTIL_WINE\": \"${${t}_emulator}\"")
    elseif(${t}_toolchain STREQUAL "wasm32-wasi")
        # A module has no static or dynamic linking to choose.
        list(APPEND settings "\"INUTIL_STATIC\": \"OFF\"")
    endif()
    list(APPEND settings "\"INUTIL_MOST_BYTES\": \"${${t}_bytes}\"")
    list(JOIN settings ", " settings)
    set(${out_var} "${settings}" PARENT_SCOPE)
endfunction()

function(inutil_presets_json out_var)
    # The builds that are no target of their own, and the target's common settings.
    set(configure [=[
    {"name": "base", "hidden": true, "binaryDir": "${sourceDir}/build/${presetName}", "cacheVariables": {"CMAKE_EXPORT_COMPILE_COMMANDS": "ON", "CMAKE_COMPILE_WARNING_AS_ERROR": "ON", "INUTIL_REQUIRE_TESTS": "ON", "INUTIL_SUITE_DIR": "${sourceDir}/build/suite"}},
    {"name": "dev", "displayName": "Debug build with g++, warnings as errors, lint checks", "inherits": "base", "cacheVariables": {"CMAKE_BUILD_TYPE": "Debug", "CMAKE_CXX_COMPILER": "g++", "INUTIL_LINT": "ON"}},
    {"name": "clang", "displayName": "Debug build with clang++, warnings as errors", "inherits": "base", "cacheVariables": {"CMAKE_BUILD_TYPE": "Debug", "CMAKE_CXX_COMPILER": "clang++"}},
    {"name": "asan", "displayName": "AddressSanitizer and UndefinedBehaviorSanitizer", "inherits": "base", "cacheVariables": {"CMAKE_BUILD_TYPE": "Debug", "CMAKE_CXX_COMPILER": "g++", "CMAKE_CXX_FLAGS": "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer", "CMAKE_EXE_LINKER_FLAGS": "-fsanitize=address,undefined"}},
    {"name": "shipped", "hidden": true, "inherits": "base", "cacheVariables": {"CMAKE_BUILD_TYPE": "Release", "INUTIL_STATIC": "ON", "INUTIL_STRIP": "ON"}},
]=])
    set(names dev clang asan)
    set(toolchains "")
    foreach(name IN LISTS INUTIL_TARGETS)
        set(toolchain ${INUTIL_TARGET_${name}_toolchain})
        if(NOT toolchain IN_LIST toolchains)
            list(APPEND toolchains ${toolchain})
            string(APPEND configure "    {\"name\": \"${toolchain}.toolchain\", \"hidden\": true, \"inherits\": \"shipped\", "
                "\"toolchainFile\": \"\${sourceDir}/cmake/${toolchain}.cmake\"},\n")
        endif()
        inutil_toolchain_settings(${name} settings)
        set(what "${INUTIL_TARGET_${name}_what}")
        if(INUTIL_TARGET_${name}_emulator)
            string(APPEND what ", tested under ${INUTIL_TARGET_${name}_emulator}")
        endif()
        string(APPEND configure "    {\"name\": \"${name}\", \"displayName\": \"${what}\", "
            "\"inherits\": \"${toolchain}.toolchain\", \"cacheVariables\": {${settings}}},\n")
        list(APPEND names ${name})
    endforeach()
    string(APPEND configure [=[
    {"name": "artifacts", "displayName": "The release artifacts of the commit, built by scripts/dist and checked as users receive them", "inherits": "base", "cacheVariables": {"CMAKE_BUILD_TYPE": "Release", "CMAKE_CXX_COMPILER": "g++", "INUTIL_DIST_DIR": "${sourceDir}/build/dist"}}
]=])
    list(APPEND names artifacts)

    set(build "")
    set(test "    {\"name\": \"base\", \"hidden\": true, \"output\": {\"outputOnFailure\": true}, \"execution\": {\"noTestsAction\": \"error\", \"jobs\": 2}},\n")
    set(workflow "")
    foreach(name IN LISTS names)
        string(APPEND build "    {\"name\": \"${name}\", \"configurePreset\": \"${name}\"},\n")
        string(APPEND test "    {\"name\": \"${name}\", \"inherits\": \"base\", \"configurePreset\": \"${name}\"},\n")
        string(APPEND workflow "    {\"name\": \"${name}\", \"steps\": [{\"type\": \"configure\", \"name\": \"${name}\"}, "
            "{\"type\": \"build\", \"name\": \"${name}\"}, {\"type\": \"test\", \"name\": \"${name}\"}]},\n")
    endforeach()
    foreach(list IN ITEMS build test workflow)
        string(REGEX REPLACE ",\n$" "\n" ${list} "${${list}}")
    endforeach()

    set(${out_var} "{
  \"version\": 6,
  \"cmakeMinimumRequired\": {\"major\": 3, \"minor\": 25, \"patch\": 0},
  \"vendor\": {\"inutil\": {\"generated\": \"from targets.txt by cmake -P cmake/targets.cmake: edit those, not this\"}},
  \"configurePresets\": [
${configure}  ],
  \"buildPresets\": [
${build}  ],
  \"testPresets\": [
${test}  ],
  \"workflowPresets\": [
${workflow}  ]
}
" PARENT_SCOPE)
endfunction()

# The table of artifacts and the install line for each platform, as docs/RELEASES.md shows them.
function(inutil_release_lists artifacts_var install_var version)
    set(table "| target | archive | Debian package | RPM | program at most |\n| --- | --- | --- | --- | --- |\n")
    set(install "")
    set(debs "")
    set(rpms "")
    foreach(name IN LISTS INUTIL_TARGETS)
        set(t INUTIL_TARGET_${name})
        math(EXPR kib "${${t}_bytes} / 1024")
        set(deb "")
        set(rpm "")
        if(${t}_deb)
            set(deb "`inutil_<version>_${${t}_deb}.deb`")
            list(APPEND debs ${${t}_deb})
        endif()
        if(${t}_rpm)
            set(rpm "`inutil-<version>-1.${${t}_rpm}.rpm`")
            list(APPEND rpms ${${t}_rpm})
        endif()
        string(APPEND table "| ${${t}_what} | `inutil-<version>-${${t}_archive}` | ${deb} | ${rpm} | ${kib} KiB |\n")
        string(REGEX REPLACE "\\.(tar\\.gz|zip)$" "" folder "inutil-${version}-${${t}_archive}")
        if(${t}_toolchain STREQUAL "mingw-w64")
            string(APPEND install "- **${${t}_what}**, in PowerShell: "
                "`Expand-Archive ${folder}.zip .; .\\${folder}\\inutil.exe`\n")
        elseif(${t}_toolchain STREQUAL "wasm32-wasi")
            string(APPEND install "- **A browser**: `unzip ${folder}.zip`, then open `${folder}/index.html`\n")
        else()
            string(APPEND install "- **${${t}_what}**, any distribution, nothing to install: "
                "`tar xzf ${folder}.tar.gz && ./${folder}/inutil`\n")
        endif()
    endforeach()
    list(JOIN debs ", " debs)
    list(JOIN rpms ", " rpms)
    set(install "- **Debian, Ubuntu** (${debs}), as root: `apt install ./inutil_${version}_$(dpkg --print-architecture).deb`, then `man inutil`
- **Fedora, RHEL 9, openSUSE Tumbleweed** (${rpms}), as root: `rpm -i inutil-${version}-1.$(uname -m).rpm`
${install}")
    set(${artifacts_var} "${table}" PARENT_SCOPE)
    set(${install_var} "${install}" PARENT_SCOPE)
endfunction()

# TEXT, of FILE, with what stands between <!-- NAME ... --> and <!-- end of NAME --> replaced by CONTENT.
function(inutil_replace_between out_var file text name content)
    string(FIND "${text}" "<!-- ${name}" begin)
    string(FIND "${text}" "<!-- end of ${name} -->" end)
    if(begin EQUAL -1 OR end EQUAL -1)
        message(FATAL_ERROR "${file} has no <!-- ${name} ... --> and <!-- end of ${name} --> marks")
    endif()
    string(SUBSTRING "${text}" ${begin} -1 rest)
    string(FIND "${rest}" "-->\n" mark_length)
    math(EXPR head_length "${begin} + ${mark_length} + 4")
    string(SUBSTRING "${text}" 0 ${head_length} head)
    string(SUBSTRING "${text}" ${end} -1 tail)
    set(${out_var} "${head}${content}${tail}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    inutil_read_targets()
    string(REPLACE " " ";" columns "${COLUMNS}")
    if(PRINT STREQUAL "targets")
        set(lines "")
        foreach(name IN LISTS INUTIL_TARGETS)
            inutil_target_columns(line ${name} "${columns}")
            list(APPEND lines "${line}")
        endforeach()
        list(JOIN lines "\n" lines)
        execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${lines}")
        return()
    elseif(PRINT STREQUAL "artifacts" OR PRINT STREQUAL "artifacts-here")
        inutil_version(version)
        if(PRINT STREQUAL "artifacts")
            inutil_artifacts(artifacts ${version})
        else()
            inutil_artifacts_here(artifacts why_not ${version})
            foreach(why IN LISTS why_not)
                message(NOTICE "not built on this machine: ${why}")
            endforeach()
        endif()
        inutil_artifact_lines(lines "${artifacts}" "${columns}")
        execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${lines}")
        return()
    elseif(PRINT)
        message(FATAL_ERROR "PRINT is targets, artifacts or artifacts-here, not ${PRINT}")
    endif()
    inutil_version(version)
    inutil_presets_json(presets)
    inutil_release_lists(artifacts install ${version})
    set(releases docs/RELEASES.md)
    file(READ "${INUTIL_ROOT}/${releases}" text)
    inutil_replace_between(text ${releases} "${text}" artifacts "${artifacts}")
    inutil_replace_between(text ${releases} "${text}" install "${install}")
    set(content_CMakePresets.json "${presets}")
    set(content_${releases} "${text}")
    foreach(file IN ITEMS CMakePresets.json ${releases})
        set(path "${INUTIL_ROOT}/${file}")
        if(CHECK)
            file(READ "${path}" committed)
            if(NOT committed STREQUAL "${content_${file}}")
                message(FATAL_ERROR "${file} is not what targets.txt makes: "
                    "cmake -P cmake/targets.cmake writes it anew, and git diff shows what changed")
            endif()
            message(STATUS "${file} is what targets.txt makes")
        else()
            file(WRITE "${path}" "${content_${file}}")
        endif()
    endforeach()
endif()
