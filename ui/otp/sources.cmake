# Sources of ui/otp.
