"""Pieces of the kernel benchmark suite (bench/bench_kernel.py).

peer.py         the lean Business Layer peer every measured system connects to
processes.py    starting and stopping the measured processes; CPU and RSS from the OS
throws.py       the C++ throw counter (an LD_PRELOAD shim compiled at run time)
floor_kernel.py the minimal pure-Python kernel (run as a script)
echo_client.py  the WebSocket echo floor (run as a script)
jupyter.py      ipykernel driven by jupyter_client
workloads.py    the benchmarks: what is sent, what is measured
report.py       statistics, the table and the JSON document
"""
