# Installing and packaging, through the README's own command blocks.
set(GALAXY_PACKAGING_ENV "GALAXY_SOURCE_DIR=${PROJECT_SOURCE_DIR};GALAXY_BUILD_DIR=${PROJECT_BINARY_DIR}")
add_test(NAME readme_install COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/packaging/test_readme_paths.py)
add_test(NAME deb_package COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/packaging/test_deb.py)
set_tests_properties(readme_install deb_package PROPERTIES
    ENVIRONMENT "${GALAXY_PACKAGING_ENV}" TIMEOUT 900 FAIL_REGULAR_EXPRESSION "vulkan: ")
# Exit status 77: not root, or packages of ours already installed.
set_tests_properties(deb_package PROPERTIES SKIP_RETURN_CODE 77)
