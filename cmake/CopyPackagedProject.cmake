# Copies the bookkeeping project to the packaged place beside the executable,
# leaving out what running it in the source tree may have produced.
# Usage: cmake -DSOURCE=<dir> -DDESTINATION=<dir> -P CopyPackagedProject.cmake
file(REMOVE_RECURSE "${DESTINATION}")
file(MAKE_DIRECTORY "${DESTINATION}")
file(COPY "${SOURCE}/" DESTINATION "${DESTINATION}"
    PATTERN "__pycache__" EXCLUDE
    PATTERN "logs" EXCLUDE
    PATTERN "berichte" EXCLUDE
    PATTERN ".berichte" EXCLUDE)
