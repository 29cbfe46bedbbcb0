# Host programs and the Python module, driven from outside like a user would.
# The library prints Vulkan validation messages as "vulkan: ..." on stderr.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(GALAXY_HOST_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/hosts)

if(TARGET galaxy-render)
  add_test(NAME cli COMMAND Python3::Interpreter ${GALAXY_HOST_TESTS}/test_cli.py)
  set_tests_properties(cli PROPERTIES
      ENVIRONMENT "GALAXY_RENDER=$<TARGET_FILE:galaxy-render>" TIMEOUT 600
      FAIL_REGULAR_EXPRESSION "vulkan: ")
endif()

if(TARGET galaxy-render)
  # galaxy-farm's ranges, holes and manifest, Slurm's commands stood in for.
  add_test(NAME farm COMMAND Python3::Interpreter ${GALAXY_HOST_TESTS}/test_farm.py)
  set_tests_properties(farm PROPERTIES
      ENVIRONMENT "GALAXY_RENDER=$<TARGET_FILE:galaxy-render>;GALAXY_FARM=${PROJECT_SOURCE_DIR}/scripts/slurm/galaxy-farm"
      TIMEOUT 300 FAIL_REGULAR_EXPRESSION "vulkan: ")
endif()

if(TARGET galaxy-render)
  # The README's pictures against what its command renders now.
  add_test(NAME readme_images COMMAND Python3::Interpreter ${GALAXY_HOST_TESTS}/test_readme_images.py)
  set_tests_properties(readme_images PROPERTIES
      ENVIRONMENT "GALAXY_RENDER=$<TARGET_FILE:galaxy-render>" TIMEOUT 300
      FAIL_REGULAR_EXPRESSION "vulkan: ")
endif()

if(TARGET galaxy-viewer AND EXISTS ${GALAXY_HOST_TESTS}/test_viewer.py)
  # Exit status 77: no X server could be reached or started.
  add_test(NAME viewer COMMAND Python3::Interpreter ${GALAXY_HOST_TESTS}/test_viewer.py)
  set_tests_properties(viewer PROPERTIES
      ENVIRONMENT "GALAXY_VIEWER=$<TARGET_FILE:galaxy-viewer>" SKIP_RETURN_CODE 77 TIMEOUT 300
      FAIL_REGULAR_EXPRESSION "vulkan: ")
endif()

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/python/test_halvenor_galaxy.py)
  add_test(NAME python COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/python/test_halvenor_galaxy.py)
  set_tests_properties(python PROPERTIES
      ENVIRONMENT "HALVENOR_GALAXY_LIB=$<TARGET_FILE:halvenor-galaxy>" TIMEOUT 300
      FAIL_REGULAR_EXPRESSION "vulkan: ")
endif()

# The picture comparison that gates the ARM64 stage (scripts/arm64-test.sh).
add_test(NAME compare_renders COMMAND Python3::Interpreter ${GALAXY_HOST_TESTS}/test_compare_renders.py)
