#!/usr/bin/env python3
# A UDP proxy on loopback that loses, duplicates, delays and so reorders datagrams both ways,
# for measuring uploads through a bad network. Loopback only: it listens on 127.0.0.1 and
# forwards to a device on 127.0.0.1.
# Usage: lossy-proxy.py DEVICE_PORT [--loss P] [--dup P] [--dup-requests P] [--delay P]
#                       [--delay-ms MS] [--seed N]
# Prints the port it listens on, then runs until killed.
import argparse, heapq, random, select, socket, time

parser = argparse.ArgumentParser()
parser.add_argument("device_port", type=int)
parser.add_argument("--loss", type=float, default=0.10)   # share of datagrams dropped
parser.add_argument("--dup", type=float, default=0.20)    # share of replies sent twice, late
# Requests doubled and delivered late are carried out twice by a device that remembers only the
# last request it answered: no client can prevent that (off by default).
parser.add_argument("--dup-requests", type=float, default=0.0)
parser.add_argument("--delay", type=float, default=0.05)  # share held back, so overtaken
parser.add_argument("--delay-ms", type=float, default=30) # longest hold-back or copy delay
parser.add_argument("--seed", type=int, default=None)
args = parser.parse_args()
rng = random.Random(args.seed)

client_side = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client_side.bind(("127.0.0.1", 0))
device_side = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
device_side.connect(("127.0.0.1", args.device_port))
print(client_side.getsockname()[1], flush=True)

client = None
queue = []  # (due, order, socket, data, address)
order = 0

def later(sock, data, address, delay):
    global order
    order += 1
    heapq.heappush(queue, (time.monotonic() + delay, order, sock, data, address))

def forward(sock, data, address, dup):
    if rng.random() < args.loss:
        return
    hold = rng.uniform(0, args.delay_ms) / 1000 if rng.random() < args.delay else 0
    later(sock, data, address, hold)
    if rng.random() < dup:
        later(sock, data, address, rng.uniform(0, args.delay_ms) / 1000)

while True:
    wait = max(0, queue[0][0] - time.monotonic()) if queue else None
    readable, _, _ = select.select([client_side, device_side], [], [], wait)
    for sock in readable:
        data, sender = sock.recvfrom(2048)
        if sock is client_side:
            client = sender
            forward(device_side, data, None, args.dup_requests)
        elif client:
            forward(client_side, data, client, args.dup)
    now = time.monotonic()
    while queue and queue[0][0] <= now:
        _, _, sock, data, address = heapq.heappop(queue)
        try:
            sock.sendto(data, address) if address else sock.send(data)
        except OSError:
            pass
