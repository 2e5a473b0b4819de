target_sources(ui PRIVATE
  actor_widget_guard.h
  main_window/main_window.h
  main_window/main_window.cpp
  main_window/main_window.ui
)
