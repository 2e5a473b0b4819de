target_sources(ui PRIVATE
  main_window/main_window.h
  main_window/main_window.cpp
  main_window/main_window.ui
)
