# Optional sanitizer instrumentation, as one INTERFACE target linked PRIVATE by every target.
add_library(quarnel_sanitizers INTERFACE)
if(QUARNEL_SANITIZERS)
  if("thread" IN_LIST QUARNEL_SANITIZERS AND "address" IN_LIST QUARNEL_SANITIZERS)
    message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
  endif()
  list(JOIN QUARNEL_SANITIZERS "," _quarnel_sanitize)
  target_compile_options(quarnel_sanitizers INTERFACE
    -fsanitize=${_quarnel_sanitize} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(quarnel_sanitizers INTERFACE -fsanitize=${_quarnel_sanitize})
endif()
