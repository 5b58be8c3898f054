/* The least a client can do to upload one image to many devices: plain POSIX, one connected
 * non-blocking UDP socket per device, one epoll, each device lock-step (Start, the 512-byte
 * Writes, End, each after the success reply to the one before). No retries, no progress; a
 * "Ping" only to a device silent for 1 s (bootloader-cli pings every device once a second).
 * The baseline for bootloader-cli's cost per exchange.
 * Usage: fleet_client IMAGE LIST   (LIST: one 127.x.y.z:PORT a line; loopback only)
 * Exit 0 when every device answered every request with success; 1 otherwise. */

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum {
    ImageSize = 917504,
    BlockSize = 512,
    Blocks = ImageSize / BlockSize,
    MaxDevices = 4096,
    ReplyLimitMs = 5000,
    NudgeAfterMs = 1000,
    ScanEveryMs = 100,
    Request = 3,
    Success = 0xAC,
    KeepAlive = 0x73,
};

struct Device
{
    int fd;
    unsigned char sequence; /* of the request awaiting its reply */
    int step;               /* 0 Start, 1..Blocks the Writes, Blocks + 1 End, then done */
    long long sentMs;       /* the last datagram sent */
    long long heardMs;      /* the last reply to a request */
};

static unsigned char image[ImageSize];
static struct Device devices[MaxDevices];
static long long pings;

static long long nowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static int die(const char *what)
{
    fprintf(stderr, "fleet_client: %s\n", what);
    return 1;
}

/* Lays out and sends the device's current step: type, sequence, name length, name, payload. */
static int sendStep(struct Device *device)
{
    unsigned char datagram[3 + 5 + BlockSize];
    const char *name = device->step == 0 ? "Start" : device->step <= Blocks ? "Write" : "End";
    const size_t nameLength = strlen(name);
    size_t length = 3 + nameLength;
    device->sequence = device->sequence == 255 ? 1 : device->sequence + 1;
    device->sentMs = nowMs();
    datagram[0] = Request;
    datagram[1] = device->sequence;
    datagram[2] = (unsigned char)nameLength;
    memcpy(datagram + 3, name, nameLength);
    if (device->step >= 1 && device->step <= Blocks) {
        memcpy(datagram + length, image + (size_t)(device->step - 1) * BlockSize, BlockSize);
        length += BlockSize;
    }
    return send(device->fd, datagram, length, MSG_NOSIGNAL) == (ssize_t)length ? 0 : -1;
}

/* A keep-alive request with the current sequence number: any datagram a device receives lets
 * it send a reply it may have held back, and its answer (0x73) is ignored. */
static int sendPing(struct Device *device)
{
    const unsigned char ping[] = {Request, device->sequence, 4, 'P', 'i', 'n', 'g'};
    ++pings;
    return send(device->fd, ping, sizeof ping, MSG_NOSIGNAL) == (ssize_t)sizeof ping ? 0 : -1;
}

/* Reads every waiting reply; returns 1 when the device is done, 0 to wait on, -1 on failure. */
static int readReplies(struct Device *device)
{
    for (;;) {
        unsigned char reply[64] = {0};
        const ssize_t got = recv(device->fd, reply, sizeof reply, 0);
        if (got < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
        if (reply[3] == KeepAlive)
            continue; /* answering pings alone is not progress */
        device->heardMs = nowMs();
        if (reply[1] != device->sequence || reply[3] != Success)
            return -1;
        if (++device->step > Blocks + 1)
            return 1;
        if (sendStep(device) != 0)
            return -1;
    }
}

static int readImage(const char *path)
{
    FILE *file = fopen(path, "rb");
    if (!file)
        return -1;
    const size_t got = fread(image, 1, ImageSize, file);
    const int extra = fgetc(file);
    fclose(file);
    return got == ImageSize && extra == EOF ? 0 : -1;
}

/* Opens one socket per listed device; returns how many, or -1. */
static int openDevices(const char *path, int epoll)
{
    FILE *list = fopen(path, "r");
    if (!list)
        return -1;
    char line[128];
    int count = 0;
    while (fgets(line, sizeof line, list)) {
        char address[64];
        unsigned port = 0;
        if (line[0] == '#' || line[0] == '\n')
            continue;
        struct sockaddr_in peer;
        memset(&peer, 0, sizeof peer);
        peer.sin_family = AF_INET;
        if (count == MaxDevices || sscanf(line, "%63[0-9.]:%u", address, &port) != 2 || port == 0 ||
            port > 65535 || inet_pton(AF_INET, address, &peer.sin_addr) != 1 ||
            (ntohl(peer.sin_addr.s_addr) >> 24) != 127) {
            fclose(list);
            return -1; /* never anything but loopback */
        }
        peer.sin_port = htons((unsigned short)port);
        struct Device *device = &devices[count];
        device->fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        struct epoll_event event = {.events = EPOLLIN, .data.u32 = (unsigned)count};
        if (device->fd < 0 || connect(device->fd, (struct sockaddr *)&peer, sizeof peer) != 0 ||
            epoll_ctl(epoll, EPOLL_CTL_ADD, device->fd, &event) != 0) {
            fclose(list);
            return -1;
        }
        ++count;
    }
    fclose(list);
    return count;
}

int main(int argc, char **argv)
{
    if (argc != 3)
        return die("usage: fleet_client IMAGE LIST");
    if (readImage(argv[1]) != 0)
        return die("cannot read a 917504-byte image");
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    const int count = epoll < 0 ? -1 : openDevices(argv[2], epoll);
    if (count <= 0)
        return die("cannot open the devices (one 127.x.y.z:PORT a line)");
    const long long start = nowMs();
    for (int i = 0; i < count; ++i) {
        devices[i].sentMs = devices[i].heardMs = start;
        if (sendStep(&devices[i]) != 0)
            return die("cannot send Start");
    }
    int running = count;
    long long scannedMs = start;
    while (running > 0) {
        struct epoll_event events[64];
        const int ready = epoll_wait(epoll, events, 64, ScanEveryMs);
        if (ready < 0 && errno != EINTR)
            return die("epoll_wait failed");
        const long long now = nowMs();
        if (now - scannedMs >= ScanEveryMs) {
            scannedMs = now;
            for (int i = 0; i < count; ++i) {
                struct Device *device = &devices[i];
                if (device->fd < 0)
                    continue;
                if (now - device->heardMs > ReplyLimitMs)
                    return die("a device did not answer within 5 s");
                if (now - device->sentMs >= NudgeAfterMs) {
                    device->sentMs = now;
                    if (sendPing(device) != 0)
                        return die("cannot send Ping");
                }
            }
        }
        for (int i = 0; i < ready; ++i) {
            struct Device *device = &devices[events[i].data.u32];
            const int state = readReplies(device);
            if (state < 0) {
                fprintf(stderr, "fleet_client: device %u failed at step %d\n", events[i].data.u32,
                        device->step);
                return 1;
            }
            if (state > 0) {
                epoll_ctl(epoll, EPOLL_CTL_DEL, device->fd, NULL);
                close(device->fd);
                device->fd = -1;
                --running;
            }
        }
    }
    printf("fleet_client: %d devices ok, %lld pings\n", count, pings);
    return 0;
}
