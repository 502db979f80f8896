# Installs the library and uses the install as an outside project would.
#   cmake -DMODE=<mode> -DSRC=<source dir> -DBUILD=<build dir> -DWORK=<scratch dir>
#         -DCC=<C compiler> -DCXX=<C++ compiler> -DBUILD_TYPE=<type> -DLTO=<ON|OFF> -P install_consume.cmake
# MODE setup     installs BUILD (static) into WORK/static, and into WORK/shared with the shared
#                library (and, with -DKAT=ON, the known-answer generator) built and installed over it
#      contents  checks the installed files: public headers only, a plain-code archive, the
#                shared library's SONAME and that it exports exactly the declared public calls
#      static | shared   builds examples/ with find_package against that install and runs it;
#                shared also runs the installed generator through its relative run path
#      subproject builds examples/ with the library's sources added by add_subdirectory and no build
#                type, and checks that the library's sources were compiled at -O2 or more
#      subproject_under_src  the same check, configured only, from a link to SRC at WORK/src/tavik-c
#      pkgconfig compiles examples/sign_verify.c with the C compiler and pkg-config's flags
#      readme    builds README.md's C++ example with README.md's CMake lines as written, in a
#                project that asks for no C++ standard itself: against the static install
#                (find_package) and through FetchContent with the source tree as its download
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(JOIN " " cmd ${ARGN})
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}\n${err}")
  endif()
  set(RUN_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

# Runs every program the examples build in <dir>; each must succeed.
function(run_examples dir)
  foreach(prog sign_verify sign_verify_cpp)
    if(EXISTS ${dir}/${prog})
      run(${dir}/${prog})
      message(STATUS "${prog}: ${RUN_OUTPUT}")
    endif()
  endforeach()
  if(NOT EXISTS ${dir}/sign_verify)
    message(FATAL_ERROR "no example was built in ${dir}")
  endif()
endfunction()

# The fenced block that follows README.md's line "<!-- snippet: <name> ...-->", into <out>.
function(readme_snippet name out)
  file(READ ${SRC}/README.md text)
  string(FIND "${text}" "<!-- snippet: ${name} " at)
  if(at LESS 0)
    message(FATAL_ERROR "README.md has no snippet '${name}'")
  endif()
  string(SUBSTRING "${text}" ${at} -1 text)
  string(FIND "${text}" "-->\n```" fence)
  string(FIND "${text}" "\n" end_of_marker)
  math(EXPR end_of_marker "${end_of_marker} - 3")
  if(NOT fence EQUAL end_of_marker)
    message(FATAL_ERROR "README.md: the snippet '${name}' is not a fenced block right after its marker")
  endif()
  math(EXPR fence "${fence} + 4")
  string(SUBSTRING "${text}" ${fence} -1 text)
  string(FIND "${text}" "\n" body)
  math(EXPR body "${body} + 1")
  string(SUBSTRING "${text}" ${body} -1 text)
  string(FIND "${text}" "```" close)
  string(SUBSTRING "${text}" 0 ${close} text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(TOOLCHAIN -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${BUILD_TYPE})

if(MODE STREQUAL "setup")
  # WORK/static holds this build's install alone; WORK/shared the shared library installed over
  # it, as `make install` lays them, with the known-answer generator (when KAT is ON) as the
  # program that links the shared library.
  file(REMOVE_RECURSE ${WORK})
  run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/static)
  run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/shared)
  run(${CMAKE_COMMAND} -S ${SRC} -B ${WORK}/shared-build ${TOOLCHAIN} -DBUILD_SHARED_LIBS=ON
      -DTAVIK_PROGRAMS=${KAT} -DTAVIK_PROVIDER=OFF -DTAVIK_TESTS=OFF -DTAVIK_INSTALL=ON -DTAVIK_LTO=${LTO}
      -DTAVIK_WERROR=ON)
  set(targets tavik)
  set(components Unspecified Development)
  if(KAT)
    list(APPEND targets tavik_genkat)
    list(APPEND components test-tools)
  endif()
  run(${CMAKE_COMMAND} --build ${WORK}/shared-build -j 2 --target ${targets})
  foreach(component IN LISTS components)
    run(${CMAKE_COMMAND} --install ${WORK}/shared-build --prefix ${WORK}/shared --component ${component})
  endforeach()

elseif(MODE STREQUAL "contents")
  # Headers: exactly the public ones of include/.
  file(GLOB public RELATIVE ${SRC}/include ${SRC}/include/*)
  file(GLOB installed RELATIVE ${WORK}/static/include ${WORK}/static/include/*)
  list(SORT public)
  list(SORT installed)
  if(NOT public STREQUAL installed)
    message(FATAL_ERROR "installed headers '${installed}', public headers '${public}'")
  endif()

  # The archive: ordinary object code, no link-time optimiser sections.
  file(GLOB_RECURSE archive ${WORK}/static/lib*/libtavik.a)
  run(readelf -S -W ${archive})
  if(RUN_OUTPUT MATCHES "\\.gnu\\.(debug)?lto_")
    message(FATAL_ERROR "${archive} carries link-time optimiser sections")
  endif()
  if(NOT RUN_OUTPUT MATCHES "\\.text")
    message(FATAL_ERROR "${archive} holds no object code")
  endif()

  # The shared library: versioned SONAME.
  file(GLOB_RECURSE shared ${WORK}/shared/lib*/libtavik.so.0)
  if(NOT shared)
    message(FATAL_ERROR "no libtavik.so.0 installed under ${WORK}/shared")
  endif()
  run(readelf -d -W ${shared})
  if(NOT RUN_OUTPUT MATCHES "\\(SONAME\\)[^\n]*\\[libtavik\\.so\\.0\\]")
    message(FATAL_ERROR "SONAME of ${shared} is not libtavik.so.0:\n${RUN_OUTPUT}")
  endif()

  # Its dynamic symbols: exactly the functions the installed C headers declare.
  set(declared "")
  file(GLOB headers ${WORK}/shared/include/*.h)
  list(FILTER headers EXCLUDE REGEX "/tavik_hybrid(_der)?\\.h$")  # libtavik-hybrid's calls, not libtavik's
  foreach(h IN LISTS headers)
    file(STRINGS ${h} lines REGEX "^[A-Za-z_][A-Za-z0-9_ ]*[ *]([A-Za-z_][A-Za-z0-9_]*)\\(")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "^(typedef|#)")
        string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)\\(" name "${line}")
        list(APPEND declared ${CMAKE_MATCH_1})
      endif()
    endforeach()
  endforeach()
  run(nm -D --defined-only ${shared})
  string(REGEX MATCHALL "[^\n]+" symbol_lines "${RUN_OUTPUT}")
  set(exported "")
  foreach(line IN LISTS symbol_lines)
    string(REGEX REPLACE "^.* " "" sym "${line}")
    list(APPEND exported ${sym})
  endforeach()
  list(SORT declared)
  list(REMOVE_DUPLICATES declared)
  list(SORT exported)
  set(extra ${exported})
  list(REMOVE_ITEM extra ${declared})
  set(missing ${declared})
  list(REMOVE_ITEM missing ${exported})
  if(extra OR missing OR NOT declared)
    message(FATAL_ERROR "libtavik.so exports symbols outside the public interface: '${extra}'; "
                        "declared but not exported: '${missing}'")
  endif()
  message(STATUS "exported: ${exported}")

elseif(MODE STREQUAL "static" OR MODE STREQUAL "shared")
  run(${CMAKE_COMMAND} -S ${SRC}/examples -B ${WORK}/examples-${MODE} ${TOOLCHAIN}
      -DCMAKE_PREFIX_PATH=${WORK}/${MODE} -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
  run(${CMAKE_COMMAND} --build ${WORK}/examples-${MODE})
  run_examples(${WORK}/examples-${MODE})
  # An installed program that links the shared library finds it by its relative run path alone.
  file(GLOB genkat ${WORK}/${MODE}/libexec/tavik/tavik_genkat)
  if(MODE STREQUAL "shared" AND genkat)
    run(readelf -d -W ${genkat})
    if(NOT RUN_OUTPUT MATCHES "libtavik\\.so\\.0" OR NOT RUN_OUTPUT MATCHES "RUNPATH[^\n]*\\[\\$ORIGIN/\\.\\./\\.\\./lib")
      message(FATAL_ERROR "${genkat} does not link libtavik.so.0 through a relative run path:\n${RUN_OUTPUT}")
    endif()
    file(MAKE_DIRECTORY ${WORK}/kat)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${genkat}
                    WORKING_DIRECTORY ${WORK}/kat RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR NOT EXISTS ${WORK}/kat/PQCsignKAT_3056.rsp)
      message(FATAL_ERROR "the installed tavik_genkat did not run (${rc}): ${err}")
    endif()
  elseif(MODE STREQUAL "shared" AND KAT)
    message(FATAL_ERROR "no tavik_genkat installed under ${WORK}/shared/libexec/tavik")
  endif()

elseif(MODE STREQUAL "subproject" OR MODE STREQUAL "subproject_under_src")
  # As most parents do: no build type. The library's own sources must still be compiled at -O2 or
  # -O3 (the last -O option counts), the parent's programs as the parent chose. under_src: the
  # same from a checkout whose path holds a folder named src (WORK/src/tavik-c, a link to SRC),
  # judged from the compile commands alone, without building.
  set(tree ${SRC})
  set(dir ${WORK}/examples-subproject)
  if(MODE STREQUAL "subproject_under_src")
    file(REMOVE_RECURSE ${WORK})
    file(MAKE_DIRECTORY ${WORK}/src)
    file(CREATE_LINK ${SRC} ${WORK}/src/tavik-c SYMBOLIC)
    set(tree ${WORK}/src/tavik-c)
    set(dir ${WORK}/examples-under-src)
  endif()
  run(${CMAKE_COMMAND} -S ${tree}/examples -B ${dir} -DCMAKE_C_COMPILER=${CC}
      -DCMAKE_CXX_COMPILER=${CXX} -DTAVIK_SOURCE_DIR=${tree} -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
      -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
  if(MODE STREQUAL "subproject")
    run(${CMAKE_COMMAND} --build ${dir} -j 2)
  endif()
  # A library source is a file in the library's own source folder, by its real path; a parent's
  # program is a file of examples/. Any other path may hold a folder named src.
  file(REAL_PATH ${SRC}/src library_dir)
  file(REAL_PATH ${SRC}/examples parent_dir)
  file(READ ${dir}/compile_commands.json commands)
  string(JSON count LENGTH "${commands}")
  math(EXPR last "${count} - 1")
  set(library_objects 0)
  set(parent_objects 0)
  foreach(i RANGE ${last})
    string(JSON command GET "${commands}" ${i} command)
    string(JSON source GET "${commands}" ${i} file)
    file(REAL_PATH "${source}" source)
    string(REGEX MATCHALL " -O[^ ]*" levels "${command}")
    list(POP_BACK levels level)
    string(FIND "${source}" "${library_dir}/" in_library)
    string(FIND "${source}" "${parent_dir}/" in_parent)
    if(in_library EQUAL 0)
      math(EXPR library_objects "${library_objects} + 1")
      if(NOT level MATCHES "^ -O[23]$")
        message(FATAL_ERROR "library source compiled without -O2 or -O3:\n${command}")
      endif()
    elseif(in_parent EQUAL 0)
      math(EXPR parent_objects "${parent_objects} + 1")
      if(level)
        message(FATAL_ERROR "the parent's own program got the library's optimisation:\n${command}")
      endif()
    endif()
  endforeach()
  if(library_objects LESS 10 OR NOT parent_objects EQUAL 2)
    message(FATAL_ERROR "found ${library_objects} library sources and ${parent_objects} of the parent's in the compile commands")
  endif()
  if(MODE STREQUAL "subproject")
    run_examples(${dir})
  endif()

elseif(MODE STREQUAL "pkgconfig")
  # A plain C compiler with pkg-config's flags: the static install with and without --static,
  # the shared one (run through LD_LIBRARY_PATH, as an install outside the loader's paths is).
  set(ENV{PKG_CONFIG_PATH} "")
  foreach(kind static:--static static: shared:)
    string(REPLACE ":" ";" kind "${kind}")
    list(GET kind 0 install)
    list(LENGTH kind n)
    set(option "")
    if(n GREATER 1)
      list(GET kind 1 option)
    endif()
    file(GLOB_RECURSE pc ${WORK}/${install}/tavik.pc)
    get_filename_component(pcdir "${pc}" DIRECTORY)
    set(ENV{PKG_CONFIG_LIBDIR} ${pcdir})
    run(pkg-config --cflags --libs ${option} tavik)
    string(STRIP "${RUN_OUTPUT}" flags)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    set(dir ${WORK}/pkgconfig-${install}${option})
    file(MAKE_DIRECTORY ${dir})
    run(${CC} -std=c11 -Wall -Wextra -Werror ${SRC}/examples/sign_verify.c ${flags} -o ${dir}/sign_verify)
    get_filename_component(libdir "${pcdir}" DIRECTORY)
    run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${dir}/sign_verify)
    message(STATUS "${install} ${option}: ${RUN_OUTPUT}")
  endforeach()

elseif(MODE STREQUAL "readme")
  # The parent sets no C++ standard: the compilers' defaults (C++17 for g++ 12, C++14 for clang
  # 14) stop tavik.hpp unless tavik::tavik brings C++20 itself.
  readme_snippet(cpp-use cpp)
  readme_snippet(cmake-installed installed)
  readme_snippet(cmake-fetchcontent fetched)
  foreach(way installed fetched)
    set(dir ${WORK}/readme-${way})
    file(REMOVE_RECURSE ${dir})
    file(WRITE ${dir}/app.cpp "#include <tavik.hpp>\n\nint main() {\n${cpp}  return 0;\n}\n")
    file(WRITE ${dir}/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)\nproject(app LANGUAGES CXX)\n"
               "add_executable(app app.cpp)\n${${way}}")
    # FetchContent takes the source tree in place of the snippet's repository.
    run(${CMAKE_COMMAND} -S ${dir} -B ${dir}/build ${TOOLCHAIN} -DCMAKE_PREFIX_PATH=${WORK}/static
        -DFETCHCONTENT_SOURCE_DIR_TAVIK=${SRC} -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
    run(${CMAKE_COMMAND} --build ${dir}/build -j 2 --target app)
    run(${dir}/build/app)
    message(STATUS "README example built and run (${way})")
  endforeach()

else()
  message(FATAL_ERROR "unknown MODE '${MODE}'")
endif()
