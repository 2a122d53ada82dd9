// usbmon_tool: the kernel's side of a USB run. It records a bus through the
// usbmon binary interface into a pcap file (link type 220, the same format the
// updater's --trace writes), and reduces either kind of file to a digest of the
// vendor control requests and bulk transfers, one line each, so the kernel's
// record of a run and the updater's own trace of it can be compared with diff.
//
// Usage:
//   usbmon_tool capture BUS OUTPUT.pcap
//       Reads /dev/usbmon<BUS> (0 for all buses) until SIGTERM or SIGINT, then
//       takes what is still queued, closes the file and prints
//       "capture: N events" to stderr. "capture: ready" goes to stderr once the
//       device is open and its ring enlarged, for a script to wait on.
//   usbmon_tool digest FILE.pcap
//       Prints to stdout, in completion order, one line per completed vendor
//       control request or bulk transfer:
//         control RT RQ VALUE INDEX LENGTH STATUS N CRC
//         bulk EP STATUS N CRC
//       with the setup fields and the endpoint in hex, STATUS "ok" or "error",
//       N the data bytes moved (OUT: carried by the submission, IN: by the
//       completion) and CRC their CRC-32 (zlib's). A completion that failed
//       without moving data is left out. "digest: N transfers" goes to stderr.
//       Reads little-endian microsecond pcap files of link type 220 only.
//
// Exit status: 0 success, 1 runtime error (device, file, corrupt input),
// 2 usage error.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_RUNTIME = 1;
constexpr int EXIT_USAGE = 2;

constexpr std::uint32_t PCAP_MAGIC = 0xA1B2C3D4;
constexpr std::uint32_t PCAP_MAGIC_SWAPPED = 0xD4C3B2A1;
constexpr std::uint32_t PCAP_SNAPLEN = 262144;
constexpr std::uint32_t PCAP_LINKTYPE_USB_LINUX_MMAPPED = 220;
constexpr std::uint32_t PCAP_LARGEST_SNAPLEN_READ = 16 * 1024 * 1024;
constexpr std::size_t PCAP_FILE_HEADER_SIZE = 24;
constexpr std::size_t PCAP_RECORD_HEADER_SIZE = 16;
constexpr std::size_t USBMON_HEADER_SIZE = 64;

constexpr std::uint8_t XFER_CONTROL = 2;
constexpr std::uint8_t XFER_BULK = 3;
constexpr std::uint8_t DIRECTION_IN = 0x80;
constexpr std::uint8_t REQUEST_TYPE_MASK = 0x60;
constexpr std::uint8_t REQUEST_TYPE_VENDOR = 0x40;
constexpr std::size_t SETUP_SIZE = 8;

// ---------------------------------------------------------------------------
// The usbmon binary interface. The kernel exports no header for it; the layout
// and the ioctl numbers are its documented ABI (Documentation/usb/usbmon.rst).

struct mon_bin_hdr {
    std::uint64_t id;        // the URB's address: the same for submit and completion
    std::uint8_t type;       // 'S', 'C' or 'E'
    std::uint8_t xfer_type;  // 0 isochronous, 1 interrupt, 2 control, 3 bulk
    std::uint8_t epnum;      // endpoint number, with 0x80 for IN
    std::uint8_t devnum;
    std::uint16_t busnum;
    char flag_setup;  // 0 when setup holds a control submit's setup packet
    char flag_data;   // 0 when data follows
    std::int64_t ts_sec;
    std::int32_t ts_usec;
    std::int32_t status;
    std::uint32_t len_urb;  // submitted or actual length
    std::uint32_t len_cap;  // bytes of data that follow the header
    std::uint8_t setup[SETUP_SIZE];
    std::int32_t interval;
    std::int32_t start_frame;
    std::uint32_t xfer_flags;
    std::uint32_t ndesc;
};
static_assert(sizeof(mon_bin_hdr) == USBMON_HEADER_SIZE);
static_assert(offsetof(mon_bin_hdr, ts_sec) == 16);
static_assert(offsetof(mon_bin_hdr, len_cap) == 36);
static_assert(offsetof(mon_bin_hdr, setup) == 40);
static_assert(offsetof(mon_bin_hdr, ndesc) == 60);

struct mon_bin_get {
    mon_bin_hdr* hdr;
    void* data;
    std::size_t alloc;
};

struct mon_bin_stats {
    std::uint32_t queued;
    std::uint32_t dropped;
};

constexpr unsigned int MON_IOC_MAGIC = 0x92;
constexpr unsigned long MON_IOCG_STATS = _IOR(MON_IOC_MAGIC, 3, mon_bin_stats);
constexpr unsigned long MON_IOCT_RING_SIZE = _IO(MON_IOC_MAGIC, 4);
constexpr unsigned long MON_IOCQ_RING_SIZE = _IO(MON_IOC_MAGIC, 5);
constexpr unsigned long MON_IOCX_GETX = _IOW(MON_IOC_MAGIC, 10, mon_bin_get);

// The kernel takes ring sizes up to 1200 KiB; smaller ones are tried in turn
// before keeping its default.
constexpr std::array<unsigned long, 3> RING_SIZES = {1200 * 1024, 1024 * 1024, 512 * 1024};
constexpr std::size_t EVENT_DATA_BUFFER = 256 * 1024;
constexpr std::size_t LARGEST_CAPTURED = PCAP_SNAPLEN - USBMON_HEADER_SIZE;

struct PcapFileHeader {
    std::uint32_t magic;
    std::uint16_t version_major;
    std::uint16_t version_minor;
    std::int32_t thiszone;
    std::uint32_t sigfigs;
    std::uint32_t snaplen;
    std::uint32_t linktype;
};
static_assert(sizeof(PcapFileHeader) == PCAP_FILE_HEADER_SIZE);

struct PcapRecordHeader {
    std::uint32_t ts_sec;
    std::uint32_t ts_usec;
    std::uint32_t incl_len;
    std::uint32_t orig_len;
};
static_assert(sizeof(PcapRecordHeader) == PCAP_RECORD_HEADER_SIZE);

// ---------------------------------------------------------------------------
// Resources.

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

  private:
    int fd_;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Closes the file, reporting whether everything written reached it.
bool close_written(File& file) {
    const bool flushed = std::fflush(file.get()) == 0 && std::ferror(file.get()) == 0;
    return std::fclose(file.release()) == 0 && flushed;
}

void report(const char* mode, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", mode, message.c_str());
}

int usage() {
    std::fprintf(stderr,
                 "usage: usbmon_tool capture BUS OUTPUT.pcap\n"
                 "       usbmon_tool digest FILE.pcap\n");
    return EXIT_USAGE;
}

std::string describe_errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// ---------------------------------------------------------------------------
// capture

volatile std::sig_atomic_t stop_requested = 0;

void on_stop_signal(int) {
    stop_requested = 1;
}

// Installs the stop handlers without SA_RESTART and blocks both signals, so
// they are only taken while waiting for events; wait_mask is the mask to wait
// with.
bool install_stop_handlers(sigset_t& wait_mask) {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (const int signal_number : {SIGINT, SIGTERM}) {
        if (sigaction(signal_number, &action, nullptr) != 0) {
            return false;
        }
        sigaddset(&stop_signals, signal_number);
    }
    if (sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask) != 0) {
        return false;
    }
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    return true;
}

// True once a stop signal arrived, whether or not its handler has run yet.
bool stop_pending() {
    if (stop_requested != 0) {
        return true;
    }
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 &&
           (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1);
}

// Enlarges the kernel's ring as far as it allows; the size in effect.
long enlarge_ring(int fd) {
    for (const unsigned long size : RING_SIZES) {
        if (::ioctl(fd, MON_IOCT_RING_SIZE, size) == 0) {
            break;
        }
    }
    return ::ioctl(fd, MON_IOCQ_RING_SIZE, 0UL);
}

// Queued events and the events dropped since the last call, or nothing.
bool read_stats(int fd, mon_bin_stats& stats) {
    stats = {};
    return ::ioctl(fd, MON_IOCG_STATS, &stats) == 0;
}

enum class Fetch { EVENT, EMPTY, FAILED };

Fetch fetch_event(int fd, mon_bin_hdr& header, std::span<std::uint8_t> data) {
    mon_bin_get get{&header, data.data(), data.size()};
    while (true) {
        if (::ioctl(fd, MON_IOCX_GETX, &get) == 0) {
            return Fetch::EVENT;
        }
        if (errno == EAGAIN) {
            return Fetch::EMPTY;
        }
        if (errno != EINTR) {
            return Fetch::FAILED;
        }
    }
}

// Waits for events or a stop signal; false on a failure of the device.
bool wait_for_events(int fd, const sigset_t& wait_mask) {
    pollfd watched{fd, POLLIN, 0};
    const int ready = ::ppoll(&watched, 1, nullptr, &wait_mask);
    if (ready < 0) {
        return errno == EINTR;
    }
    return (watched.revents & POLLIN) != 0 ||
           (watched.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

bool write_file_header(std::FILE* file) {
    const PcapFileHeader header{
        PCAP_MAGIC, 2, 4, 0, 0, PCAP_SNAPLEN, PCAP_LINKTYPE_USB_LINUX_MMAPPED};
    return std::fwrite(&header, sizeof header, 1, file) == 1;
}

// One event as one record. The header's captured length is made to say what
// the record holds, should the kernel have had more than was fetched.
bool write_event(std::FILE* file, const mon_bin_hdr& event, std::span<const std::uint8_t> fetched) {
    const std::size_t captured =
        std::min<std::size_t>({event.len_cap, fetched.size(), LARGEST_CAPTURED});
    mon_bin_hdr header = event;
    header.len_cap = static_cast<std::uint32_t>(captured);

    const auto included = static_cast<std::uint32_t>(USBMON_HEADER_SIZE + captured);
    const std::uint64_t original =
        std::max<std::uint64_t>(USBMON_HEADER_SIZE + std::uint64_t{event.len_urb}, included);
    const PcapRecordHeader record{
        static_cast<std::uint32_t>(event.ts_sec), static_cast<std::uint32_t>(event.ts_usec),
        included, static_cast<std::uint32_t>(std::min<std::uint64_t>(original, UINT32_MAX))};
    return std::fwrite(&record, sizeof record, 1, file) == 1 &&
           std::fwrite(&header, sizeof header, 1, file) == 1 &&
           std::fwrite(fetched.data(), 1, captured, file) == captured;
}

struct CaptureCounts {
    std::uint64_t events = 0;
    std::uint64_t dropped = 0;
};

// Copies events into the file until a stop signal; false on a failure, with
// error set.
bool capture_until_stopped(int fd, std::FILE* file, const sigset_t& wait_mask,
                           CaptureCounts& counts, std::string& error) {
    mon_bin_hdr header{};
    std::vector<std::uint8_t> data(EVENT_DATA_BUFFER);
    while (!stop_pending()) {
        switch (fetch_event(fd, header, data)) {
            case Fetch::EVENT:
                if (!write_event(file, header, data)) {
                    error = describe_errno("writing the capture");
                    return false;
                }
                ++counts.events;
                break;
            case Fetch::EMPTY:
                std::fflush(file);  // keep the file whole while the bus is idle
                if (!wait_for_events(fd, wait_mask)) {
                    error = "the usbmon device failed while waiting for events";
                    return false;
                }
                break;
            case Fetch::FAILED:
                error = describe_errno("fetching an event");
                return false;
        }
    }
    // Events already queued when the signal came belong to the run.
    mon_bin_stats stats{};
    const std::uint32_t queued = read_stats(fd, stats) ? stats.queued : 0;
    counts.dropped += stats.dropped;
    for (std::uint32_t taken = 0; taken < queued; ++taken) {
        const Fetch fetched = fetch_event(fd, header, data);
        if (fetched == Fetch::EMPTY) {
            break;
        }
        if (fetched == Fetch::FAILED) {
            error = describe_errno("fetching an event");
            return false;
        }
        if (!write_event(file, header, data)) {
            error = describe_errno("writing the capture");
            return false;
        }
        ++counts.events;
    }
    if (read_stats(fd, stats)) {
        counts.dropped += stats.dropped;
    }
    return true;
}

bool parse_bus(std::string_view text, unsigned int& bus) {
    const char* const end = text.data() + text.size();
    const auto [stop, problem] = std::from_chars(text.data(), end, bus);
    return !text.empty() && problem == std::errc() && stop == end && bus <= 255;
}

int capture(std::string_view bus_text, const std::string& output) {
    constexpr const char* MODE = "capture";
    unsigned int bus = 0;
    if (!parse_bus(bus_text, bus)) {
        report(MODE, "BUS must be a bus number, 0 for all buses");
        return usage();
    }
    sigset_t wait_mask;
    if (!install_stop_handlers(wait_mask)) {
        report(MODE, describe_errno("installing the signal handlers"));
        return EXIT_RUNTIME;
    }
    const std::string device = "/dev/usbmon" + std::to_string(bus);
    const FileDescriptor monitor(::open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!monitor.valid()) {
        report(MODE, describe_errno(device));
        return EXIT_RUNTIME;
    }
    File file(std::fopen(output.c_str(), "wb"));
    if (file == nullptr) {
        report(MODE, describe_errno(output));
        return EXIT_RUNTIME;
    }
    if (!write_file_header(file.get())) {
        report(MODE, describe_errno(output));
        return EXIT_RUNTIME;
    }
    const long ring = enlarge_ring(monitor.get());
    if (ring > 0) {
        std::fprintf(stderr, "capture: ring %ld bytes\n", ring);
    }
    std::fprintf(stderr, "capture: ready\n");

    CaptureCounts counts;
    std::string error;
    const bool captured =
        capture_until_stopped(monitor.get(), file.get(), wait_mask, counts, error);
    const bool closed = close_written(file);
    std::fprintf(stderr, "capture: %llu events\n", static_cast<unsigned long long>(counts.events));
    if (counts.dropped != 0) {
        std::fprintf(stderr, "capture: %llu events dropped by the kernel\n",
                     static_cast<unsigned long long>(counts.dropped));
    }
    if (!captured) {
        report(MODE, error);
        return EXIT_RUNTIME;
    }
    if (!closed) {
        report(MODE, describe_errno("closing " + output));
        return EXIT_RUNTIME;
    }
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// digest

using Bytes = std::span<const std::uint8_t>;

// Little-endian fields; callers pass spans long enough for the offset.
std::uint16_t get_u16(Bytes bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

std::uint32_t get_u32(Bytes bytes, std::size_t at) {
    return get_u16(bytes, at) | static_cast<std::uint32_t>(get_u16(bytes, at + 2)) << 16;
}

std::uint64_t get_u64(Bytes bytes, std::size_t at) {
    return get_u32(bytes, at) | static_cast<std::uint64_t>(get_u32(bytes, at + 4)) << 32;
}

constexpr std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t index = 0; index < table.size(); ++index) {
        std::uint32_t value = index;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) != 0 ? 0xEDB88320U ^ (value >> 1) : value >> 1;
        }
        table[index] = value;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> CRC_TABLE = make_crc_table();

std::uint32_t crc32(Bytes bytes) {
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const std::uint8_t byte : bytes) {
        crc = CRC_TABLE[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFU;
}

// The fields of one record's usbmon header the digest uses, and its data.
struct UsbmonEvent {
    std::uint64_t id = 0;
    char type = 0;
    std::uint8_t xfer_type = 0;
    std::uint8_t endpoint = 0;
    bool has_setup = false;
    std::int32_t status = 0;
    std::uint32_t urb_length = 0;
    std::array<std::uint8_t, SETUP_SIZE> setup{};
    Bytes data;
};

// Decodes a record (usbmon header and data); false with error set when it is
// malformed.
bool decode_event(Bytes record, UsbmonEvent& event, std::string& error) {
    if (record.size() < USBMON_HEADER_SIZE) {
        error = "record shorter than a usbmon header";
        return false;
    }
    const Bytes header = record.first(USBMON_HEADER_SIZE);
    const Bytes data = record.subspan(USBMON_HEADER_SIZE);
    const std::uint32_t captured = get_u32(header, 36);
    if (captured > data.size()) {
        error = "captured length " + std::to_string(captured) + " beyond the record's " +
                std::to_string(data.size()) + " data bytes";
        return false;
    }
    event.id = get_u64(header, 0);
    event.type = static_cast<char>(header[8]);
    event.xfer_type = header[9];
    event.endpoint = header[10];
    event.has_setup = header[14] == 0;
    event.status = static_cast<std::int32_t>(get_u32(header, 28));
    event.urb_length = get_u32(header, 32);
    std::copy_n(header.begin() + 40, SETUP_SIZE, event.setup.begin());
    event.data = data.first(captured);
    return true;
}

// A submission waiting for its completion.
struct Submission {
    std::uint8_t xfer_type = 0;
    std::uint8_t endpoint = 0;
    bool has_setup = false;
    std::array<std::uint8_t, SETUP_SIZE> setup{};
    std::vector<std::uint8_t> out_data;
};

bool is_in(std::uint8_t endpoint) {
    return (endpoint & DIRECTION_IN) != 0;
}

bool is_vendor_control(const Submission& submission) {
    return submission.xfer_type == XFER_CONTROL && submission.has_setup &&
           (submission.setup[0] & REQUEST_TYPE_MASK) == REQUEST_TYPE_VENDOR;
}

bool is_of_interest(const Submission& submission) {
    return is_vendor_control(submission) || submission.xfer_type == XFER_BULK;
}

// The bytes a completed transfer moved: an IN transfer's arrive with its
// completion; an OUT transfer's left with its submission, all of them when it
// succeeded, else as many as the completion reports sent.
Bytes moved_data(const Submission& submission, const UsbmonEvent& completion) {
    if (is_in(submission.endpoint)) {
        return completion.data;
    }
    const Bytes sent = submission.out_data;
    if (completion.status == 0) {
        return sent;
    }
    return sent.first(std::min<std::size_t>(completion.urb_length, sent.size()));
}

// Prints the completed transfer's line; false when it is left out.
bool print_transfer(const Submission& submission, const UsbmonEvent& completion) {
    if (!is_of_interest(submission)) {
        return false;
    }
    const Bytes moved = moved_data(submission, completion);
    const bool ok = completion.status == 0;
    if (!ok && moved.empty()) {
        return false;  // a failed or cancelled transfer that moved nothing
    }
    const char* const status = ok ? "ok" : "error";
    const unsigned long crc = crc32(moved);
    if (submission.xfer_type == XFER_BULK) {
        std::printf("bulk %02x %s %zu %08lx\n", unsigned{submission.endpoint}, status, moved.size(),
                    crc);
        return true;
    }
    const Bytes setup = submission.setup;
    std::printf("control %02x %02x %04x %04x %04x %s %zu %08lx\n", unsigned{setup[0]},
                unsigned{setup[1]}, unsigned{get_u16(setup, 2)}, unsigned{get_u16(setup, 4)},
                unsigned{get_u16(setup, 6)}, status, moved.size(), crc);
    return true;
}

// Pairs submissions with their completions by URB id. The kernel reuses an id
// once its URB completed, so a completion belongs to the latest open
// submission of that id.
class TransferPairing {
  public:
    void add(const UsbmonEvent& event) {
        switch (event.type) {
            case 'S':
                open_[event.id].push_back(submission_of(event));
                break;
            case 'C': {
                Submission submission;
                if (!take_open(event.id, submission)) {
                    ++unmatched_;
                    break;
                }
                if (print_transfer(submission, event)) {
                    ++printed_;
                }
                break;
            }
            case 'E': {  // the submission failed: nothing will complete
                Submission submission;
                take_open(event.id, submission);
                break;
            }
            default:  // ring fillers and anything newer
                break;
        }
    }
    std::uint64_t printed() const { return printed_; }
    std::uint64_t unmatched() const { return unmatched_; }

  private:
    static Submission submission_of(const UsbmonEvent& event) {
        Submission submission;
        submission.xfer_type = event.xfer_type;
        submission.endpoint = event.endpoint;
        submission.has_setup = event.xfer_type == XFER_CONTROL && event.has_setup;
        submission.setup = event.setup;
        if (!is_in(event.endpoint) && is_of_interest(submission)) {
            submission.out_data.assign(event.data.begin(), event.data.end());
        }
        return submission;
    }

    bool take_open(std::uint64_t id, Submission& submission) {
        const auto entry = open_.find(id);
        if (entry == open_.end()) {
            return false;
        }
        submission = std::move(entry->second.back());
        entry->second.pop_back();
        if (entry->second.empty()) {
            open_.erase(entry);
        }
        return true;
    }

    std::unordered_map<std::uint64_t, std::vector<Submission>> open_;
    std::uint64_t printed_ = 0;
    std::uint64_t unmatched_ = 0;
};

// Reads a usbmon pcap file record by record, every read bounded by the file's
// snapshot length.
class PcapReader {
  public:
    enum class Next { RECORD, END, FAILED };

    bool open(const std::string& path, std::string& error) {
        file_.reset(std::fopen(path.c_str(), "rb"));
        if (file_ == nullptr) {
            error = std::strerror(errno);
            return false;
        }
        std::array<std::uint8_t, PCAP_FILE_HEADER_SIZE> header{};
        if (std::fread(header.data(), 1, header.size(), file_.get()) != header.size()) {
            error = "file shorter than a pcap header";
            return false;
        }
        const std::uint32_t magic = get_u32(header, 0);
        if (magic != PCAP_MAGIC) {
            error = magic == PCAP_MAGIC_SWAPPED ? "big-endian pcap files are not supported"
                                                : "not a little-endian microsecond pcap file";
            return false;
        }
        snaplen_ = get_u32(header, 16);
        const std::uint32_t linktype = get_u32(header, 20) & 0xFFFF;
        if (linktype != PCAP_LINKTYPE_USB_LINUX_MMAPPED) {
            error = "link type " + std::to_string(linktype) + " is not usbmon (220)";
            return false;
        }
        if (snaplen_ < USBMON_HEADER_SIZE || snaplen_ > PCAP_LARGEST_SNAPLEN_READ) {
            error = "implausible snapshot length " + std::to_string(snaplen_);
            return false;
        }
        return true;
    }

    Next next(std::vector<std::uint8_t>& record, std::string& error) {
        ++index_;
        std::array<std::uint8_t, PCAP_RECORD_HEADER_SIZE> header{};
        const std::size_t got = std::fread(header.data(), 1, header.size(), file_.get());
        if (got == 0 && std::feof(file_.get()) != 0) {
            return Next::END;
        }
        if (got != header.size()) {
            return fail(error, std::ferror(file_.get()) != 0 ? describe_errno("reading")
                                                             : "truncated record header");
        }
        const std::uint32_t included = get_u32(header, 8);
        if (included < USBMON_HEADER_SIZE) {
            return fail(error, "captured length " + std::to_string(included) +
                                   " shorter than a usbmon header");
        }
        if (included > snaplen_) {
            return fail(error, "captured length " + std::to_string(included) +
                                   " beyond the snapshot length " + std::to_string(snaplen_));
        }
        record.resize(included);
        if (std::fread(record.data(), 1, record.size(), file_.get()) != record.size()) {
            return fail(error, std::ferror(file_.get()) != 0 ? describe_errno("reading")
                                                             : "truncated record");
        }
        return Next::RECORD;
    }

    std::uint64_t index() const { return index_; }

  private:
    Next fail(std::string& error, const std::string& message) const {
        error = "record " + std::to_string(index_) + ": " + message;
        return Next::FAILED;
    }

    File file_;
    std::uint32_t snaplen_ = 0;
    std::uint64_t index_ = 0;
};

int digest(const std::string& path) {
    constexpr const char* MODE = "digest";
    PcapReader reader;
    std::string error;
    if (!reader.open(path, error)) {
        report(MODE, path + ": " + error);
        return EXIT_RUNTIME;
    }
    TransferPairing pairing;
    std::vector<std::uint8_t> record;
    while (true) {
        const PcapReader::Next next = reader.next(record, error);
        if (next == PcapReader::Next::END) {
            break;
        }
        if (next == PcapReader::Next::FAILED) {
            report(MODE, path + ": " + error);
            return EXIT_RUNTIME;
        }
        UsbmonEvent event;
        if (!decode_event(record, event, error)) {
            report(MODE, path + ": record " + std::to_string(reader.index()) + ": " + error);
            return EXIT_RUNTIME;
        }
        pairing.add(event);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        report(MODE, describe_errno("writing the digest"));
        return EXIT_RUNTIME;
    }
    std::fprintf(stderr, "digest: %llu transfers\n",
                 static_cast<unsigned long long>(pairing.printed()));
    if (pairing.unmatched() != 0) {
        std::fprintf(stderr, "digest: %llu completions without a submission\n",
                     static_cast<unsigned long long>(pairing.unmatched()));
    }
    return EXIT_OK;
}

int run(std::span<char* const> arguments) {
    if (arguments.size() == 4 && std::string_view(arguments[1]) == "capture") {
        return capture(arguments[2], arguments[3]);
    }
    if (arguments.size() == 3 && std::string_view(arguments[1]) == "digest") {
        return digest(arguments[2]);
    }
    return usage();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::span<char* const>(argv, static_cast<std::size_t>(argc)));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "usbmon_tool: %s\n", failure.what());
    } catch (...) {
        std::fprintf(stderr, "usbmon_tool: unexpected failure\n");
    }
    return EXIT_RUNTIME;
}
