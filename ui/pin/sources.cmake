# Sources of ui/pin.
target_sources(ui PRIVATE
  pin/about_diag.h
  pin/about_diag.cpp
  pin/about_diag.ui
  pin/page_worker.h
  pin/login_page.h
  pin/login_page.cpp
  pin/login_page.ui
  pin/password_line_edit.h
  pin/password_line_edit.cpp
  pin/set_pin_widget.h
  pin/set_pin_widget.cpp
  pin/set_pin_widget.ui
)
