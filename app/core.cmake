# The dump algorithm, and the image preparation and mask (firmware/) with it: plain C++, no
# windows.
add_library(velto_app_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/diag/dump.h ${CMAKE_CURRENT_LIST_DIR}/diag/dump.cpp)
target_include_directories(velto_app_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(velto_app_core PUBLIC velto_image_prep PRIVATE velto_warnings)
set_target_properties(velto_app_core PROPERTIES AUTOMOC OFF)

# The command lines of the three programs (QtCore only: the HID lister links it too).
add_library(velto_command_line STATIC
  ${CMAKE_CURRENT_LIST_DIR}/command_line.h ${CMAKE_CURRENT_LIST_DIR}/command_line.cpp)
target_include_directories(velto_command_line PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(velto_command_line PRIVATE VELTO_VERSION="${PROJECT_VERSION}")
target_link_libraries(velto_command_line PUBLIC Qt6::Core PRIVATE velto_warnings)
set_target_properties(velto_command_line PROPERTIES AUTOMOC OFF)
