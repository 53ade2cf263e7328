# Warnings every target of ours is built with, as one INTERFACE target linked PRIVATE.
add_library(quarnel_warnings INTERFACE)
target_compile_options(quarnel_warnings INTERFACE
  -Wall                 # the common set
  -Wextra               # unused parameters, sign and comparison surprises
  -Wshadow              # a local that hides another is a bug waiting to happen
  -Wnon-virtual-dtor    # polymorphic types must be destroyable through their base
  -Wcast-align          # our buffers are read as doubles; misaligned casts are faults
  -Wimplicit-fallthrough  # switch cases must say when they fall through
)
if(QUARNEL_WARNINGS_AS_ERRORS)
  target_compile_options(quarnel_warnings INTERFACE -Werror)
endif()
