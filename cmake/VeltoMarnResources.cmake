# The Windows resources every VeltoMarn program carries: a version resource (the project's version,
# the names below) and the application manifest cmake/launcher.manifest, compiled by windres
# (CMAKE_RC_COMPILER, set by the toolchain file).

set(VELTOMARN_PRODUCT_NAME "VELTO MARN Launcher" CACHE STRING "ProductName of the version resources")
set(VELTOMARN_COMPANY_NAME "VeltoMarn" CACHE STRING "CompanyName of the version resources")
set(VELTOMARN_LEGAL_COPYRIGHT "" CACHE STRING "LegalCopyright of the version resources (may be empty)")

# A resource string literal holds a quote as two quotes.
function(veltomarn_rc_string text out_var)
  string(REPLACE "\"" "\"\"" text "${text}")
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# veltomarn_add_resources(<target> <file description>): gives <target> the version resource and
# the manifest, with OriginalFilename its output file name.
function(veltomarn_add_resources target description)
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  foreach(part MAJOR MINOR PATCH TWEAK)
    if(PROJECT_VERSION_${part} STREQUAL "")
      list(APPEND numbers 0)
    else()
      list(APPEND numbers ${PROJECT_VERSION_${part}})
    endif()
  endforeach()
  list(JOIN numbers "," VELTOMARN_RC_VERSION_COMMAS)
  veltomarn_rc_string("${VELTOMARN_PRODUCT_NAME}" VELTOMARN_RC_PRODUCT_NAME)
  veltomarn_rc_string("${VELTOMARN_COMPANY_NAME}" VELTOMARN_RC_COMPANY_NAME)
  veltomarn_rc_string("${VELTOMARN_LEGAL_COPYRIGHT}" VELTOMARN_RC_LEGAL_COPYRIGHT)
  veltomarn_rc_string("${description}" VELTOMARN_RC_FILE_DESCRIPTION)
  set(VELTOMARN_RC_INTERNAL_NAME ${output_name})
  set(VELTOMARN_RC_ORIGINAL_FILENAME ${output_name}.exe)
  set(VELTOMARN_RC_MANIFEST ${PROJECT_SOURCE_DIR}/cmake/launcher.manifest)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version_resource.rc.in ${rc} @ONLY)
  # windres reads the manifest itself: a changed manifest must rebuild the resources.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${VELTOMARN_RC_MANIFEST})
  target_sources(${target} PRIVATE ${rc})
endfunction()
