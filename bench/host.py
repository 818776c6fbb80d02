"""The host and its processes as bench.py sees them: waiting for a port, stopping a process, figures from
/proc (memory, mapped files), the counting allocator's file, the machine, and the CPU time of finished children."""
import os
import platform
import signal
import socket
import subprocess
import time


def wait_port(port, timeout, proc=None):
    end = time.time() + timeout
    while time.time() < end:
        if proc is not None and proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.2)
    return False


def stop(proc, timeout=5):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def proc_status(pid):
    out = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                k, _, v = line.partition(":")
                if k in ("VmRSS", "VmHWM"):
                    out[k] = int(v.split()[0])
    except OSError:
        pass
    return out


def mapped_files_kb(pid):
    """Total size of the distinct files mapped into a process (binary and shared libraries)."""
    seen, total = set(), 0
    try:
        with open("/proc/%d/maps" % pid) as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 6 and parts[5].startswith("/") and parts[5] not in seen:
                    seen.add(parts[5])
                    try:
                        total += os.path.getsize(parts[5])
                    except OSError:
                        pass
    except OSError:
        pass
    return total // 1024


def read_allocs(path):
    try:
        with open(path, "rb") as f:
            data = f.read(32)
        magic, allocs, frees, nbytes = (int.from_bytes(data[i:i + 8], "little") for i in range(0, 32, 8))
        return allocs if magic == 0x6F73747261616C63 else None
    except (OSError, ValueError):
        return None


def machine():
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(),
            "loadavg_start": os.getloadavg()[0]}


def resource_usage_children():
    import resource
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return round(r.ru_utime + r.ru_stime, 2)
