# Serves one file on 127.0.0.1 the way a failing home link would: the first answer is cut off
# after a third of the file; then, in "drop" mode, the connection closes and later requests
# are served properly, ranges included; in "stall" mode it goes silent, and so do all later
# answers. Prints its port, then the Range header of each request it gets.
import socket, sys

data = open(sys.argv[1], "rb").read()
server = socket.create_server(("127.0.0.1", 0))
print(server.getsockname()[1], flush=True)
held, first = [], True
while True:
    conn, _ = server.accept()
    # The whole request is read: closing on unread bytes would reset the connection and
    # throw away what was sent before the cut.
    request = conn.recv(65536)
    while b"\r\n\r\n" not in request:
        request += conn.recv(65536) or b"\r\n\r\n"
    start = next((int(line.split("=")[1].split("-")[0]) for line in request.decode("latin-1").split("\r\n")
                  if line.lower().startswith("range: bytes=")), 0)
    print("range", start, flush=True)
    body = data[start:]
    head = "HTTP/1.1 %s\r\nContent-Length: %d\r\nETag: \"v1\"\r\n" % (
        "206 Partial Content" if start else "200 OK", len(body))
    if start:
        head += "Content-Range: bytes %d-%d/%d\r\n" % (start, len(data) - 1, len(data))
    # A client may hang up early: Qt may resend a cut request on its own and then drop it.
    try:
        conn.sendall((head + "\r\n").encode())
        if first or sys.argv[2] == "drop":
            conn.sendall(body[: len(data) // 3] if first else body)
    except OSError:
        pass
    held.append(conn)
    if first and sys.argv[2] == "drop":
        conn.close()
    first = False
