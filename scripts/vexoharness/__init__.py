"""What the Python drivers (scripts/soak.py, scripts/bench.py) share: the virtual appliance on
a temporary sysroot (appliance), VISCA over IP datagrams (visca) and judging by slope (judge)."""
