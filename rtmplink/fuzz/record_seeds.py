#!/usr/bin/env python3
# Records the seeds of the hostile-server fuzz target (server_fuzz.cpp) into
# server_corpus/recorded/: what nginx-rtmp sends to a client that publishes and to one that
# plays, on loopback, in the script form of replay_server.h (a flags byte, then the server's
# bytes after its handshake). The clients are ffmpeg's; a relay between them and nginx keeps
# what the server sends. Needs nginx-light with libnginx-mod-rtmp and ffmpeg (scripts/setup).
#   rtmplink/fuzz/record_seeds.py
import os, socket, subprocess, tempfile, threading, time

here = os.path.dirname(os.path.abspath(__file__))
out_dir = os.path.join(here, "server_corpus", "recorded")
HANDSHAKE = 1 + 1536 + 1536  # S0, S1, S2
LIMIT = 64 * 1024            # the fuzzer's longest input


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(folder):
    port = free_port()
    conf = os.path.join(folder, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off; master_process off; error_log {folder}/error.log info; pid {folder}/nginx.pid;
events {{ worker_connections 64; }}
rtmp {{ server {{ listen 127.0.0.1:{port}; application live {{ live on; }} }} }}
""")
    proc = subprocess.Popen(["nginx", "-p", folder, "-e", f"{folder}/error.log", "-c", conf],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.1).close()
            return proc, port
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nginx did not start")


def relay(listener, server_port, recorded, done):
    """Relays one client to the server; keeps what the server sends."""
    client, _ = listener.accept()
    server = socket.create_connection(("127.0.0.1", server_port))

    def pump(src, dst, keep):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                if keep is not None:
                    keep.extend(data)
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    a = threading.Thread(target=pump, args=(client, server, None))
    b = threading.Thread(target=pump, args=(server, client, recorded))
    a.start(); b.start(); a.join(); b.join()
    done.set()


def record(nginx_port, client_args, seconds, flags, name):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]
    recorded, done = bytearray(), threading.Event()
    threading.Thread(target=relay, args=(listener, nginx_port, recorded, done), daemon=True).start()
    args = [a.replace("PORT", str(port)) for a in client_args]
    client = subprocess.Popen(["ffmpeg", "-hide_banner", "-loglevel", "error"] + args,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    done.wait(seconds)
    client.kill()
    client.wait()
    done.wait(5)
    body = bytes(recorded[HANDSHAKE:HANDSHAKE + LIMIT - 1])
    with open(os.path.join(out_dir, name), "wb") as f:
        f.write(bytes([flags]) + body)
    print(f"{name}: {len(body)} bytes")


def main():
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory() as folder:
        nginx, port = start_nginx(folder)
        source = subprocess.Popen(
            ["ffmpeg", "-hide_banner", "-loglevel", "error", "-re",
             "-f", "lavfi", "-i", "testsrc=size=160x120:rate=15",
             "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=44100",
             "-c:v", "libx264", "-preset", "ultrafast", "-g", "15", "-c:a", "aac", "-b:a", "32k",
             "-f", "flv", f"rtmp://127.0.0.1:{port}/live/source"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(2)
            record(port, ["-i", "rtmp://127.0.0.1:PORT/live/source", "-t", "2", "-f", "null", "-"],
                   2, 0x00, "nginx-play.bin")
            record(port, ["-re", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=15", "-t", "1",
                          "-c:v", "libx264", "-preset", "ultrafast", "-f", "flv",
                          "rtmp://127.0.0.1:PORT/live/published"],
                   3, 0x01, "nginx-publish.bin")
        finally:
            source.kill()
            source.wait()
            nginx.terminate()
            nginx.wait()


if __name__ == "__main__":
    main()
