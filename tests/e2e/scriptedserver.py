# Serves one file on 127.0.0.1 the way odd links and servers answer, which nginx cannot play.
# Usage: scriptedserver.py FILE ANSWERS [RANGE_ANSWERS]: comma-separated answers to requests
# for the whole file, and to requests with a Range header (default: whole), each in turn, the last
# one repeated. Each request gets its own connection, closed after the answer unless it goes
# silent. Prints its port, then "range START" for each request; a request for the range of a
# cut answer right after it is printed once.
#   whole    the file, or the range asked for as 206, with an ETag
#   cut      the same, but only a third of the body, then the connection closes
#   stall    the same third, then silence
#   silent   nothing at all
#   noetag   cut, without ETag or Last-Modified
#   nul      cut, with an ETag holding a NUL
#   full     200 and the whole file, whatever was asked
#   shifted  the range asked for, under a Content-Range one byte off
#   416      416, whatever was asked
import socket, sys

data = open(sys.argv[1], "rb").read()
scripts = {False: sys.argv[2].split(","), True: (sys.argv[3:] or ["whole"])[0].split(",")}
server = socket.create_server(("127.0.0.1", 0))
print(server.getsockname()[1], flush=True)
held, last = [], None
while True:
    conn, _ = server.accept()
    held.append(conn)
    # The whole request is read: closing on unread bytes would reset the connection and
    # throw away what was sent before the cut.
    request = conn.recv(65536)
    while b"\r\n\r\n" not in request:
        request += conn.recv(65536) or b"\r\n\r\n"
    asked = [line.split("=")[1].split("-") for line in request.decode("latin-1").split("\r\n")
             if line.lower().startswith("range: bytes=")]
    start, end = (int(asked[0][0]), int(asked[0][1] or len(data) - 1)) if asked else (0, len(data) - 1)
    script = scripts[bool(asked)]
    answer = script.pop(0) if len(script) > 1 else script[0]
    # Qt may send a request again by itself when its answer was cut: counted once.
    if last != ("cut", start):
        print("range", start, flush=True)
        last = ("cut" if answer in ("cut", "noetag", "nul") else answer, start)
    if answer == "silent":
        continue
    if answer == "full":
        asked, start, end = [], 0, len(data) - 1
    body, status = data[start:end + 1], b"206 Partial Content" if asked else b"200 OK"
    head = b"Connection: close\r\nContent-Length: %d\r\n" % len(body)
    head += {"noetag": b"", "nul": b'ETag: "v\0"\r\n'}.get(answer, b'ETag: "v1"\r\n')
    if asked:
        head += b"Content-Range: bytes %d-%d/%d\r\n" % (start + (answer == "shifted"), end, len(data))
    if answer == "416":
        status, head, body = b"416 Range Not Satisfiable", b"Connection: close\r\nContent-Length: 0\r\n", b""
    if answer in ("cut", "stall", "noetag", "nul"):
        body = body[: len(body) // 3]
    # A client may hang up early: Qt may resend a cut request on its own and then drop it.
    try:
        conn.sendall(b"HTTP/1.1 " + status + b"\r\n" + head + b"\r\n" + body)
    except OSError:
        pass
    if answer != "stall":
        conn.close()
