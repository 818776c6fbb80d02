#!/usr/bin/python3
"""GStreamer RTSP server for the side-by-side runs.

Serves rtsp://127.0.0.1:PORT/ch01 from one shared media that reads the same
producer stream as ostra: tcpclientsrc -> h264parse -> rtph264pay. Runs until
SIGTERM/SIGINT. Prints "gst-server: ready" on stderr once it listens.
"""
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def main():
    port = sys.argv[1] if len(sys.argv) > 1 else "8555"
    video = sys.argv[2] if len(sys.argv) > 2 else "13032"
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(port)
    server.set_backlog(128)
    factory = GstRtspServer.RTSPMediaFactory()
    # do-timestamp: the producer's byte stream carries no timestamps of its own;
    # stamp buffers on arrival so the payloader gets live running times.
    factory.set_launch(
        "( tcpclientsrc host=127.0.0.1 port=%s do-timestamp=true ! h264parse "
        "! rtph264pay name=pay0 pt=96 config-interval=-1 )" % video)
    factory.set_shared(True)
    server.get_mount_points().add_factory("/ch01", factory)
    if server.attach(None) == 0:
        print("gst-server: cannot listen on port %s" % port, file=sys.stderr)
        return 1
    loop = GLib.MainLoop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    print("gst-server: ready on port %s" % port, file=sys.stderr, flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
