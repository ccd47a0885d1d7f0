# Script mode (cmake -P): runs the build's key conversion on its own, so that tests can feed it
# keys without configuring the whole project.
#   cmake -DPROJECT_SOURCE_DIR=<src> -DOUTPUT=<dir> [-DVELTOMARN_RELEASE_PUBLIC_KEY=<pem>]
#         [-DVELTOMARN_PAYLOAD_KEY=<file>] -P generate_keys.cmake
include(${PROJECT_SOURCE_DIR}/cmake/VeltoMarnKeys.cmake)
veltomarn_generate_release_key(${OUTPUT})
veltomarn_generate_payload_key(${OUTPUT})
