#!/usr/bin/python3
"""ostra-relay: more viewers than a camera can serve.

Pulls the camera's stream (rtsp://CAMERA:8554/ch01) once and serves it again
to any number of viewers as rtsp://RELAY:PORT/ch01, with GStreamer's RTSP
server (Debian: python3-gi, gir1.2-gst-rtsp-server-1.0, gstreamer1.0-rtsp,
gstreamer1.0-plugins-good). The camera sees one client, whatever the number
of viewers; the pull starts with the first viewer and ends after the last.

  ostra-relay.py --camera rtsp://192.0.2.10:8554/ch01 --user alice \\
      --password-file /etc/ostra-relay.pass [--port 8554] [--udp] [--no-audio]

The password is read from the first line of the file, so that it does not
show in the process list. What the camera needs from its one client:
- keep-alives: a client that is silent for 65 s loses its session. rtspsrc
  sends RTCP receiver reports and, before the session's timeout, a
  GET_PARAMETER or OPTIONS (do-rtcp and do-rtsp-keep-alive, both set here).
- interleaved transport (the default here, protocols=tcp): RTP and RTCP come
  on the RTSP connection, which passes NAT and firewalls that drop the
  camera's UDP packets; --udp asks for RTP over UDP instead.
Prints "ostra-relay: serving rtsp://ADDRESS:PORT/ch01" on standard error once
it listens; ends on SIGINT or SIGTERM.
"""
import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def options():
    p = argparse.ArgumentParser(description="Serve one ostra camera stream to many viewers.")
    p.add_argument("--camera", required=True, help="the camera's stream, rtsp://HOST:8554/ch01")
    p.add_argument("--user", help="user name of the camera's /var/etc/httppasswd (Digest)")
    p.add_argument("--password-file", help="file whose first line is that user's password")
    p.add_argument("--address", default="0.0.0.0", help="address to serve on (default: all)")
    p.add_argument("--port", default="8554", help="RTSP port to serve on (default: 8554)")
    p.add_argument("--path", default="/ch01", help="stream path to serve (default: /ch01)")
    p.add_argument("--udp", action="store_true", help="pull RTP over UDP, not interleaved on the RTSP connection")
    p.add_argument("--no-audio", action="store_true", help="the camera serves video only (audio switch off)")
    p.add_argument("--latency", type=int, default=200, help="jitter buffer of the pull in ms (default: 200)")
    return p.parse_args()


def launch_line(o):
    """The shared media: one rtspsrc, depayloaded and payloaded again for the viewers.

    The camera's address and credentials are set on the rtspsrc when the media is made."""
    pull = ["rtspsrc", "name=camera", "latency=%d" % o.latency, "protocols=%s" % ("udp" if o.udp else "tcp"),
            "do-rtcp=true", "do-rtsp-keep-alive=true"]
    video = "camera. ! rtph264depay ! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1"
    audio = "camera. ! rtppcmudepay ! rtppcmupay name=pay1 pt=0"
    parts = [" ".join(pull), video] + ([] if o.no_audio else [audio])
    return "( %s )" % " ".join(parts)


def on_media_configure(_factory, media, camera):
    """Sets the address and the credentials on the media's rtspsrc, unquoted by any launch line."""
    source = media.get_element().get_by_name("camera")
    for name, value in camera.items():
        if value is not None:
            source.set_property(name, value)


def main():
    o = options()
    camera = {"location": o.camera, "user-id": o.user, "user-pw": None}
    if o.password_file:
        with open(o.password_file, encoding="utf-8") as f:
            camera["user-pw"] = f.readline().rstrip("\r\n")
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address(o.address)
    server.set_service(o.port)
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch_line(o))
    factory.set_shared(True)  # one pull from the camera for every viewer
    factory.set_latency(o.latency)
    factory.connect("media-configure", on_media_configure, camera)
    server.get_mount_points().add_factory(o.path, factory)
    if server.attach(None) == 0:
        print("ostra-relay: cannot listen on %s:%s" % (o.address, o.port), file=sys.stderr)
        return 1
    loop = GLib.MainLoop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    print("ostra-relay: serving rtsp://%s:%s%s" % (o.address, o.port, o.path), file=sys.stderr, flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
