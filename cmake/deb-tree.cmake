# Run by CPack on the Debian package's tree before it is packed: manual pages
# go compressed, and the package gets the changelog that Debian's policy asks
# for.  Compression is done with no name or time stamp in the gzip header.
function(compress file)
  execute_process(COMMAND gzip -9nf ${file} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${file}")
  endif()
endfunction()

file(GLOB_RECURSE manual_pages "${CPACK_TEMPORARY_DIRECTORY}/usr/share/man/*.[1-9]")
foreach(page IN LISTS manual_pages)
  compress(${page})
endforeach()

# The release date is the banner's.
set(doc_dir "${CPACK_TEMPORARY_DIRECTORY}/usr/share/doc/${CPACK_PACKAGE_NAME}")
file(WRITE "${doc_dir}/changelog"
  "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${CPACK_PACKAGE_VERSION}.\n\n"
  " -- ${CPACK_PACKAGE_CONTACT}  Thu, 03 Jan 2008 00:00:00 +0000\n")
compress("${doc_dir}/changelog")
