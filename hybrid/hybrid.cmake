# libtavik-hybrid (hybrid/, include/tavik_hybrid.h): a tavik signature beside an Ed25519 one. Its
# Ed25519 comes from libsodium, so it is built only where libsodium is found; the core library
# links nothing. Static or shared after BUILD_SHARED_LIBS, as the core: the static archive leaves
# the core's calls to libtavik.a; the shared one carries the core objects it needs, hidden (it
# uses the core's SHAKE256, which libtavik.so does not export).
# Inside another project it is built only when asked (-DTAVIK_HYBRID=ON).
option(TAVIK_HYBRID "Build libtavik-hybrid where libsodium is found" ${PROJECT_IS_TOP_LEVEL})
find_path(SODIUM_INCLUDE_DIR sodium.h)
find_library(SODIUM_LIBRARY sodium)
set(TAVIK_HYBRID_FOUND OFF)
if(NOT TAVIK_HYBRID)
  # Not asked for: nothing built, nothing said.
elseif(SODIUM_INCLUDE_DIR AND SODIUM_LIBRARY)
  set(TAVIK_HYBRID_FOUND ON)
  file(GLOB TAVIK_HYBRID_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/hybrid/*.cpp)
  add_library(tavik_hybrid ${TAVIK_HYBRID_SOURCES})
  add_library(tavik::hybrid ALIAS tavik_hybrid)
  add_dependencies(tavik_programs tavik_hybrid)
  set_target_properties(tavik_hybrid PROPERTIES OUTPUT_NAME tavik-hybrid EXPORT_NAME hybrid
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  if(TAVIK_PIC)
    set_target_properties(tavik_hybrid PROPERTIES POSITION_INDEPENDENT_CODE ON)
  endif()
  target_compile_features(tavik_hybrid INTERFACE cxx_std_20)
  target_include_directories(tavik_hybrid
    PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/containers ${SODIUM_INCLUDE_DIR})
  target_compile_definitions(tavik_hybrid PRIVATE "TAVIK_OID_TEXT=\"${TAVIK_OID}\"")
  if(BUILD_SHARED_LIBS)
    set_target_properties(tavik_hybrid PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
      LINKER_LANGUAGE CXX)
    # Its users get libtavik.so for the core's calls; its own copy of the core stays hidden.
    target_link_libraries(tavik_hybrid PRIVATE tavik_internal ${SODIUM_LIBRARY} INTERFACE tavik)
    target_link_options(tavik_hybrid PRIVATE -Wl,--exclude-libs,ALL -Wl,--no-undefined)
  else()
    target_link_libraries(tavik_hybrid PUBLIC tavik PRIVATE ${SODIUM_LIBRARY})
    if(TAVIK_FAT_LTO)
      add_custom_command(TARGET tavik_hybrid POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} --wildcard -R ".gnu.lto_*" -R ".gnu.debuglto_*" $<TARGET_FILE:tavik_hybrid>
        VERBATIM)
    endif()
  endif()
  if(TAVIK_FUZZ)
    target_compile_options(tavik_hybrid PRIVATE -fsanitize=fuzzer-no-link)
  endif()
  if(TAVIK_INSTALL)
    # A component and export set of its own: an install of the core library alone (components
    # Unspecified and Development) neither needs it built nor names it. tavikConfig.cmake loads
    # tavik::hybrid where it was installed.
    install(TARGETS tavik_hybrid EXPORT tavikHybridTargets
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT hybrid
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT hybrid NAMELINK_COMPONENT hybrid
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT hybrid)
    install(EXPORT tavikHybridTargets NAMESPACE tavik:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tavik
      COMPONENT hybrid)
  endif()
else()
  message(WARNING "libsodium (libsodium-dev) not found: the hybrid library libtavik-hybrid is not built")
endif()

# What the Ed25519 half costs (bench/hybrid): medians, no timed test; not installed.
if(TAVIK_HYBRID_FOUND AND TAVIK_PROGRAMS)
  tavik_program(tavik_hybrid_speed DESTINATION none SOURCES ${PROJECT_SOURCE_DIR}/bench/hybrid/tavik_hybrid_speed.cpp
                LIBS tavik_hybrid ${SODIUM_LIBRARY})
  target_include_directories(tavik_hybrid_speed PRIVATE ${SODIUM_INCLUDE_DIR})
endif()
