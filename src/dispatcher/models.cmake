# The two models that front ends observe (status table and log view). They
# depend on nothing else, so a front end can build against them while the rest
# of the dispatcher is in progress. Included by every CMakeLists.txt that needs
# them; the guard keeps the target defined once.
if(NOT TARGET varnok_models)
  add_library(varnok_models STATIC
    ${CMAKE_CURRENT_LIST_DIR}/status_table.cpp
    ${CMAKE_CURRENT_LIST_DIR}/log_view.cpp
  )
endif()
