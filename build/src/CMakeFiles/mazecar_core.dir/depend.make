# Empty dependencies file for mazecar_core.
# This may be replaced when dependencies are built.
