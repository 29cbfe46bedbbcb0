# Every test runs on Mesa's lavapipe, whatever GPUs the machine has: the Vulkan
# loader is limited to that one driver through its environment, which CTest
# sets for itself before it starts any test (so tests added anywhere below
# get it too). Tests run by hand see every driver; the device tests accept a
# GPU there as well as the fallback.
file(GLOB GALAXY_LAVAPIPE_ICD /usr/share/vulkan/icd.d/lvp_icd.*.json)
if(GALAXY_LAVAPIPE_ICD)
  list(GET GALAXY_LAVAPIPE_ICD 0 GALAXY_LAVAPIPE_ICD)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/software_device_env.cmake
       "set(ENV{VK_DRIVER_FILES} \"${GALAXY_LAVAPIPE_ICD}\")\n"
       "set(ENV{VK_ICD_FILENAMES} \"${GALAXY_LAVAPIPE_ICD}\")\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_CURRENT_BINARY_DIR}/software_device_env.cmake)
else()
  message(WARNING "lavapipe (mesa-vulkan-drivers) not found: tests use whatever Vulkan driver the loader picks")
endif()
