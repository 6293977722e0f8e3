file(REMOVE_RECURSE
  "libmazecar_core.a"
)
