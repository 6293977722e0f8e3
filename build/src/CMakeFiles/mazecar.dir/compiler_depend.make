# Empty compiler generated dependencies file for mazecar.
# This may be replaced when dependencies are built.
