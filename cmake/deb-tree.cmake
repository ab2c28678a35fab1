# Run by CPack on the Debian package's tree before it is packed: manual pages
# go compressed, and the package gets the changelog and the copyright file
# that Debian's policy asks for.  Compression is done with no name or time
# stamp in the gzip header.
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

# The copyright file in Debian's machine-readable format, made from LICENSE
# so that the licence is written down once: its copyright line gives the
# holders, the text after it the licence (MIT, which Debian calls Expat).
file(READ "${CPACK_QUILLFEN_LICENSE}" licence)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n(.*)$")
  message(FATAL_ERROR "No copyright line in ${CPACK_QUILLFEN_LICENSE}")
endif()
set(holders "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" terms)
string(REGEX REPLACE "\n[ \t]*\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE "${doc_dir}/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: ${CPACK_PACKAGE_NAME}\n"
  "Upstream-Contact: ${CPACK_PACKAGE_CONTACT}\n"
  "Source: ${CPACK_PACKAGE_HOMEPAGE_URL}\n\n"
  "Files: *\n"
  "Copyright: ${holders}\n"
  "License: Expat\n"
  " ${terms}\n")
