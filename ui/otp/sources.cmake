# Sources of ui/otp.
target_sources(ui PRIVATE
  otp/unix_clock.h
  otp/unix_clock.cpp
  otp/name_codec.h
  otp/name_codec.cpp
  otp/countdown.h
  otp/copied_code.h
  otp/copied_code.cpp
  otp/access_gate.h
  otp/access_gate.cpp
  otp/otp_widget_actor_detach.h
  otp/otp_widget_actor_detach.cpp
  otp/otp_widget.h
  otp/otp_widget.cpp
  otp/otp_widget.ui
)
