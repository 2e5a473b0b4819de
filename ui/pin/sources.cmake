# Sources of ui/pin.
target_sources(ui PRIVATE
  pin/about_diag.h
  pin/about_diag.cpp
  pin/about_diag.ui
)
