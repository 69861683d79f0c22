# Copies the bookkeeping project to the packaged place beside the executable,
# leaving out what running it in the source tree may have produced.
# Usage: cmake -DSOURCE=<dir> -DDESTINATION=<dir> -DLEFTOVERS=<a,b,…> -P CopyPackagedProject.cmake
string(REPLACE "," ";" leftovers "${LEFTOVERS}")
set(excludes)
foreach(name IN LISTS leftovers)
    list(APPEND excludes PATTERN "${name}" EXCLUDE)
endforeach()
file(REMOVE_RECURSE "${DESTINATION}")
file(MAKE_DIRECTORY "${DESTINATION}")
file(COPY "${SOURCE}/" DESTINATION "${DESTINATION}" ${excludes})
