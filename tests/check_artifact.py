import sys; print("artifact check pending"); sys.exit(0)
