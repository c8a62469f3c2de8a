#include "app/capture/capture_gstreamer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "app/capture/picture_conversion.h"
#include "media/data_paths.h"
#include "media/media_time.h"
#include "media/pixel_buffer.h"
#include "media/sample_buffer.h"

namespace orlenta {

namespace {

using Properties = std::map<std::string, std::string>;

// How often discovery looks whether PipeWire has (re)started.
constexpr unsigned kPipeWireCheckMilliseconds = 500;
// Pauses before re-opening a failed camera: the first timeout, then doubling up to this many
// times the first.
constexpr double kMaxReopenFactor = 4;
// Buffers of the camera's size that may be out at once: one being processed, one being filled.
constexpr size_t kCapturePoolBuffers = 4;
// What the appsink takes: the layouts that convertCameraPicture turns into BGRA on the video
// queue. videoconvert passes these through untouched and converts only other layouts.
constexpr const char* kSinkCaps = "video/x-raw,format=(string){ YUY2, NV12, I420, UYVY, BGRA }";
// How long making the first system waits for the first list of cameras.
constexpr int kFirstListingTimeoutSeconds = 3;

std::string lookup(const Properties& properties, const std::string& key) {
    auto it = properties.find(key);
    return it == properties.end() ? std::string() : it->second;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool initGStreamer(std::string* error) {
    static std::once_flag once;
    static bool ok = false;
    static std::string failure;
    std::call_once(once, [] {
        GError* gerror = nullptr;
        ok = gst_init_check(nullptr, nullptr, &gerror);
        if (!ok)
            failure = std::string("GStreamer could not start: ") +
                      (gerror && gerror->message ? gerror->message : "unknown error");
        if (gerror)
            g_error_free(gerror);
    });
    if (!ok && error)
        *error = failure;
    return ok;
}

bool hasElement(const char* name) {
    GstElementFactory* factory = gst_element_factory_find(name);
    if (!factory)
        return false;
    gst_object_unref(factory);
    return true;
}

Properties propertiesOf(GstDevice* device) {
    Properties properties;
    GstStructure* structure = gst_device_get_properties(device);
    if (!structure)
        return properties;
    const int count = gst_structure_n_fields(structure);
    for (int i = 0; i < count; ++i) {
        const char* name = gst_structure_nth_field_name(structure, static_cast<guint>(i));
        const GValue* value = gst_structure_get_value(structure, name);
        if (!value)
            continue;
        if (G_VALUE_HOLDS_STRING(value)) {
            const char* text = g_value_get_string(value);
            properties[name] = text ? text : "";
        } else {
            gchar* text = gst_value_serialize(value);
            if (text) {
                properties[name] = text;
                g_free(text);
            }
        }
    }
    gst_structure_free(structure);
    return properties;
}

// The caps a device offers, as text; empty when it reports none.
std::string capsText(GstDevice* device) {
    GstCaps* caps = gst_device_get_caps(device);
    if (!caps)
        return std::string();
    gchar* text = gst_caps_to_string(caps);
    std::string result = text ? text : "";
    g_free(text);
    gst_caps_unref(caps);
    return result;
}

// The largest int an int, int range or list of ints holds; 0 when it holds none.
int largestInt(const GValue* value) {
    if (!value)
        return 0;
    if (G_VALUE_HOLDS_INT(value))
        return g_value_get_int(value);
    if (GST_VALUE_HOLDS_INT_RANGE(value))
        return gst_value_get_int_range_max(value);
    int largest = 0;
    if (GST_VALUE_HOLDS_LIST(value))
        for (guint i = 0; i < gst_value_list_get_size(value); ++i)
            largest = std::max(largest, largestInt(gst_value_list_get_value(value, i)));
    return largest;
}

// The fastest rate a fraction, fraction range or list of fractions holds; 0/1 when none.
std::pair<int, int> fastestRate(const GValue* value) {
    std::pair<int, int> best{0, 1};
    if (!value)
        return best;
    auto faster = [](std::pair<int, int> a, std::pair<int, int> b) {
        return int64_t(a.first) * b.second > int64_t(b.first) * a.second;
    };
    if (GST_VALUE_HOLDS_FRACTION(value))
        return {gst_value_get_fraction_numerator(value), gst_value_get_fraction_denominator(value)};
    if (GST_VALUE_HOLDS_FRACTION_RANGE(value))
        return fastestRate(gst_value_get_fraction_range_max(value));
    if (GST_VALUE_HOLDS_LIST(value))
        for (guint i = 0; i < gst_value_list_get_size(value); ++i) {
            const auto rate = fastestRate(gst_value_list_get_value(value, i));
            if (faster(rate, best))
                best = rate;
        }
    return best;
}

std::string readFirstLine(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// Whether the USB port of a V4L2 device is marked "fixed" (wired inside the machine).
std::optional<bool> usbPortIsFixed(const std::string& devicePath, const std::string& sysfsPath,
                                   const std::string& sysfsRoot) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path start;
    if (!sysfsPath.empty()) {
        start = sysfsRoot + sysfsPath.substr(startsWith(sysfsPath, "/sys") ? 4 : 0);
    } else if (startsWith(devicePath, "/dev/")) {
        start = fs::path(sysfsRoot) / "class/video4linux" / devicePath.substr(5);
    } else {
        return std::nullopt;
    }
    fs::path dir = fs::canonical(start / "device", ec);
    if (ec)
        dir = fs::canonical(start, ec);
    if (ec)
        return std::nullopt;
    // The interface's parent is the USB device; a few levels are enough.
    for (int level = 0; level < 4 && !dir.empty() && dir != dir.root_path(); ++level) {
        const std::string removable = readFirstLine(dir / "removable");
        if (removable == "fixed")
            return true;
        if (removable == "removable")
            return false;
        dir = dir.parent_path();
    }
    return std::nullopt;
}

std::optional<CameraPixelFormat> cameraPixelFormat(GstVideoFormat format) {
    switch (format) {
    case GST_VIDEO_FORMAT_BGRA:
        return CameraPixelFormat::bgra;
    case GST_VIDEO_FORMAT_YUY2:
        return CameraPixelFormat::yuy2;
    case GST_VIDEO_FORMAT_UYVY:
        return CameraPixelFormat::uyvy;
    case GST_VIDEO_FORMAT_NV12:
        return CameraPixelFormat::nv12;
    case GST_VIDEO_FORMAT_I420:
        return CameraPixelFormat::i420;
    default:
        return std::nullopt;
    }
}

// --- the demo clip ----------------------------------------------------------------------------

CaptureDevice demoDevice() {
    return {GStreamerCaptureSystem::kDemoUniqueID, GStreamerCaptureSystem::kDemoName, "Demo clip",
            CaptureDeviceType::external};
}

// --- discovery --------------------------------------------------------------------------------

// Every camera of the machine, for all systems of the process. It runs a GLib loop of its own,
// on which the device providers report; it is made on first use and never destroyed, and no
// provider is ever stopped.
class Discovery {
public:
    static Discovery& instance() {
        static Discovery* discovery = new Discovery();
        return *discovery;
    }

    std::vector<DeviceDescription> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

    size_t subscribe(std::function<void()> changed) {
        std::lock_guard lock(subscribersMutex_);
        subscribers_[++lastToken_] = std::move(changed);
        return lastToken_;
    }
    // Once it returns, the callback is not running and will not run again.
    void unsubscribe(size_t token) {
        std::lock_guard lock(subscribersMutex_);
        subscribers_.erase(token);
    }

private:
    Discovery() {
        context_ = g_main_context_new();
        loop_ = g_main_loop_new(context_, FALSE);
        auto ready = std::make_shared<std::promise<void>>();
        std::future<void> started = ready->get_future();
        thread_ = std::thread([this, ready] {
            g_main_context_push_thread_default(context_);
            startProviders(false);
            GSource* poll = g_timeout_source_new(kPipeWireCheckMilliseconds);
            g_source_set_callback(poll, &Discovery::onPoll, this, nullptr);
            g_source_attach(poll, context_);
            g_source_unref(poll);
            ready->set_value();
            g_main_loop_run(loop_);
        });
        // The first listing, unless a provider hangs: then the list fills in later.
        started.wait_for(std::chrono::seconds(kFirstListingTimeoutSeconds));
    }

    // Where the PipeWire socket of this environment is.
    static std::string pipeWireSocketPath() {
        const char* remote = std::getenv("PIPEWIRE_REMOTE");
        if (remote && remote[0] == '/')
            return remote;
        const char* dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
        if (!dir || !*dir)
            dir = std::getenv("XDG_RUNTIME_DIR");
        if (!dir || !*dir)
            return {};
        return std::string(dir) + "/" + (remote && *remote ? remote : "pipewire-0");
    }

    // Which socket file it is now (a new one when PipeWire restarts); empty when there is none.
    static std::string pipeWireSocketIdentity() {
        const std::string path = pipeWireSocketPath();
        struct stat info {};
        if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode))
            return {};
        return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
               std::to_string(info.st_ctim.tv_sec) + "." + std::to_string(info.st_ctim.tv_nsec);
    }

    // A connection of our own to PipeWire, -1 when it does not answer.
    static int connectPipeWire() {
        const std::string path = pipeWireSocketPath();
        sockaddr_un address{};
        if (path.empty() || path.size() >= sizeof address.sun_path)
            return -1;
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    // A PipeWire socket that is not the one our provider is connected to means PipeWire has
    // started (late) or restarted: the old provider will never see it. Until a new provider is
    // connected, every poll tries again.
    static gboolean onPoll(gpointer data) {
        auto* self = static_cast<Discovery*>(data);
        const std::string identity = pipeWireSocketIdentity();
        if (!identity.empty() && identity != self->pipeWireIdentity_)
            self->startProviders(true);
        return G_SOURCE_CONTINUE;
    }

    // Starts a provider of every kind that reports video sources; with pipeWireOnly, only a new
    // PipeWire provider, which takes over from the old one. The factories hand out one shared
    // provider per kind, and a PipeWire provider never reconnects, so PipeWire providers are made
    // fresh each time.
    void startProviders(bool pipeWireOnly) {
        std::vector<Provider> kept;
        for (Provider& old : providers_) {
            if (!old.pipeWire || !pipeWireOnly) {
                kept.push_back(old);
                continue;
            }
            // Left running, unheard: stopping it can abort the process.
            if (GSource* watch = g_main_context_find_source_by_id(context_, old.watch))
                g_source_destroy(watch);
            GstBus* bus = gst_device_provider_get_bus(old.provider);
            gst_bus_set_flushing(bus, TRUE);
            gst_object_unref(bus);
            retired_.push_back(old.provider);
        }
        providers_ = std::move(kept);

        GList* factories = gst_device_provider_factory_list_get_device_providers(GST_RANK_NONE);
        for (GList* item = factories; item; item = item->next) {
            auto* factory = GST_DEVICE_PROVIDER_FACTORY(item->data);
            if (!gst_device_provider_factory_has_classes(factory, "Video/Source"))
                continue;
            const std::string name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
            const bool pipeWire = name.find("pipewire") != std::string::npos;
            if (pipeWireOnly && !pipeWire)
                continue;
            GstDeviceProvider* provider = nullptr;
            if (pipeWire) {
                // The plugin keeps one PipeWire connection per socket descriptor and would hand a
                // new provider the dead connection of the old PipeWire: each provider gets a
                // connection of its own, made here and kept open for as long as it lives.
                const std::string identity = pipeWireSocketIdentity();
                const int fd = connectPipeWire();
                if (fd < 0)
                    continue;
                pipeWireIdentity_ = identity;
                // Loads the plugin and its type, then a provider of our own.
                if (GstDeviceProvider* shared = gst_device_provider_factory_get(factory))
                    gst_object_unref(shared);
                const GType type = gst_device_provider_factory_get_device_provider_type(factory);
                if (type == G_TYPE_INVALID) {
                    ::close(fd);
                    continue;
                }
                provider = GST_DEVICE_PROVIDER(gst_object_ref_sink(g_object_new(type, nullptr)));
                g_object_set(provider, "fd", fd, nullptr);
            } else {
                provider = gst_device_provider_factory_get(factory);
            }
            if (!provider)
                continue;
            GstBus* bus = gst_device_provider_get_bus(provider);
            const guint watch = gst_bus_add_watch(bus, &Discovery::onBusMessage, this);
            gst_object_unref(bus);
            gst_device_provider_start(provider);
            providers_.push_back({provider, watch, pipeWire});
        }
        gst_plugin_feature_list_free(factories);
        rebuild();
    }

    static gboolean onBusMessage(GstBus*, GstMessage* message, gpointer data) {
        auto* self = static_cast<Discovery*>(data);
        switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_DEVICE_ADDED:
        case GST_MESSAGE_DEVICE_REMOVED:
        case GST_MESSAGE_DEVICE_CHANGED:
            self->rebuild();
            break;
        default:
            break;
        }
        return G_SOURCE_CONTINUE;
    }

    // The list from the current providers, one entry per camera: a device reported twice, or
    // by two providers, is kept once (opened through PipeWire where it can be, to share it).
    void rebuild() {
        std::vector<DeviceDescription> list;
        GList* devices = nullptr;
        for (const Provider& provider : providers_)
            devices = g_list_concat(devices, gst_device_provider_get_devices(provider.provider));
        for (GList* item = devices; item; item = item->next) {
            GstDevice* device = GST_DEVICE(item->data);
            if (!gst_device_has_classes(device, "Video/Source"))
                continue;
            gchar* name = gst_device_get_display_name(device);
            std::optional<DeviceDescription> description =
                describeDevice(name ? name : "", propertiesOf(device));
            g_free(name);
            if (!description)
                continue;
            description->mode = chooseCaptureMode(captureModesFromCaps(capsText(device)));
            addDescribedDevice(list, std::move(*description));
        }
        g_list_free_full(devices, gst_object_unref);
        {
            std::lock_guard lock(mutex_);
            if (sameEntries(list, entries_))
                return;
            entries_ = std::move(list);
        }
        std::lock_guard lock(subscribersMutex_);
        for (auto& [token, changed] : subscribers_)
            changed();
    }

    static bool sameEntries(const std::vector<DeviceDescription>& a,
                            const std::vector<DeviceDescription>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                          [](const DeviceDescription& x, const DeviceDescription& y) {
                              return x.device == y.device && x.target == y.target &&
                                     x.viaPipeWire == y.viaPipeWire && x.mode == y.mode;
                          });
    }

    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::thread thread_;
    // Discovery thread only.
    struct Provider {
        GstDeviceProvider* provider;
        guint watch;
        bool pipeWire;
    };
    std::vector<Provider> providers_;
    std::vector<GstDeviceProvider*> retired_;
    std::string pipeWireIdentity_;

    mutable std::mutex mutex_;
    std::vector<DeviceDescription> entries_;
    std::mutex subscribersMutex_;
    std::map<size_t, std::function<void()>> subscribers_;
    size_t lastToken_ = 0;
};

} // namespace

// --- rules --------------------------------------------------------------------------------------

CaptureDeviceType deviceTypeFor(const Properties& properties, const std::string& sysfsRoot) {
    const std::string formFactor = lowercase(lookup(properties, "device.form-factor"));
    if (!formFactor.empty())
        return formFactor == "internal" ? CaptureDeviceType::builtInWideAngleCamera
                                        : CaptureDeviceType::external;
    const std::string location = lowercase(lookup(properties, "api.libcamera.location"));
    if (location == "front" || location == "back")
        return CaptureDeviceType::builtInWideAngleCamera;
    if (location == "external")
        return CaptureDeviceType::external;

    std::string bus = lowercase(lookup(properties, "device.bus"));
    std::string busInfo = lookup(properties, "v4l2.device.bus_info");
    if (busInfo.empty())
        busInfo = lookup(properties, "api.v4l2.cap.bus_info");
    // A loopback device (a program's virtual camera) sits on the platform bus but is no camera
    // built into the machine: it must not win the default choice over a real one.
    if (startsWith(lowercase(busInfo), "platform:v4l2loopback"))
        return CaptureDeviceType::external;
    if (bus.empty()) {
        const std::string info = lowercase(busInfo);
        if (startsWith(info, "usb-"))
            bus = "usb";
        else if (startsWith(info, "pci:") || startsWith(info, "pci-"))
            bus = "pci";
        else if (startsWith(info, "platform:"))
            bus = "platform";
    }
    if (bus == "pci" || bus == "platform")
        return CaptureDeviceType::builtInWideAngleCamera;
    if (bus == "usb") {
        std::string path = lookup(properties, "device.path");
        if (path.empty())
            path = lookup(properties, "api.v4l2.path");
        const std::optional<bool> fixed =
            usbPortIsFixed(path, lookup(properties, "sysfs.path"), sysfsRoot);
        if (fixed.value_or(false))
            return CaptureDeviceType::builtInWideAngleCamera;
    }
    return CaptureDeviceType::external;
}

std::vector<CaptureMode> captureModesFromCaps(const std::string& text) {
    std::vector<CaptureMode> modes;
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    GstCaps* caps = text.empty() ? nullptr : gst_caps_from_string(text.c_str());
    if (!caps)
        return modes;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* s = gst_caps_get_structure(caps, i);
        CaptureMode mode;
        mode.mjpeg = gst_structure_has_name(s, "image/jpeg");
        if (!mode.mjpeg && !gst_structure_has_name(s, "video/x-raw"))
            continue;
        if (const char* format = mode.mjpeg ? nullptr : gst_structure_get_string(s, "format"))
            mode.rawFormat = format;
        mode.width = largestInt(gst_structure_get_value(s, "width"));
        mode.height = largestInt(gst_structure_get_value(s, "height"));
        std::tie(mode.rateNumerator, mode.rateDenominator) =
            fastestRate(gst_structure_get_value(s, "framerate"));
        if (mode.width <= 0 || mode.height <= 0)
            continue;
        // One entry per format and size, at its fastest rate.
        auto same = std::find_if(modes.begin(), modes.end(), [&](const CaptureMode& other) {
            return other.mjpeg == mode.mjpeg && other.rawFormat == mode.rawFormat &&
                   other.width == mode.width && other.height == mode.height;
        });
        if (same == modes.end())
            modes.push_back(mode);
        else if (mode.framesPerSecond() > same->framesPerSecond())
            *same = mode;
    }
    gst_caps_unref(caps);
    return modes;
}

std::optional<CaptureMode> chooseCaptureMode(const std::vector<CaptureMode>& modes) {
    // 30000/1001 counts as 30.
    constexpr double kFullRate = 29.9;
    auto area = [](const CaptureMode& m) { return int64_t(m.width) * m.height; };
    auto atLeast720p = [](const CaptureMode& m) { return m.width >= 1280 && m.height >= 720; };
    // Among modes of the same size: full rate first, then raw, then the faster.
    auto betterAtSameSize = [&](const CaptureMode& a, const CaptureMode& b) {
        const bool aFull = a.framesPerSecond() >= kFullRate;
        const bool bFull = b.framesPerSecond() >= kFullRate;
        if (aFull != bFull)
            return aFull;
        if (aFull && a.mjpeg != b.mjpeg)
            return !a.mjpeg;
        return a.framesPerSecond() > b.framesPerSecond();
    };
    const CaptureMode* best = nullptr;
    for (const CaptureMode& mode : modes) {
        if (!best) {
            best = &mode;
            continue;
        }
        const bool modeFull = atLeast720p(mode) && mode.framesPerSecond() >= kFullRate;
        const bool bestFull = atLeast720p(*best) && best->framesPerSecond() >= kFullRate;
        bool better = false;
        if (modeFull != bestFull)
            better = modeFull;
        else if (atLeast720p(mode) != atLeast720p(*best))
            better = atLeast720p(mode);
        else if (area(mode) != area(*best))
            // Large enough: the smallest; too small: the largest.
            better = atLeast720p(mode) ? area(mode) < area(*best) : area(mode) > area(*best);
        else
            better = betterAtSameSize(mode, *best);
        if (better)
            best = &mode;
    }
    if (!best)
        return std::nullopt;
    return *best;
}

std::string captureModeCaps(const CaptureMode& mode) {
    std::string caps = mode.mjpeg ? "image/jpeg" : "video/x-raw";
    if (!mode.rawFormat.empty())
        caps += ",format=" + mode.rawFormat;
    caps += ",width=" + std::to_string(mode.width) + ",height=" + std::to_string(mode.height);
    if (mode.rateNumerator > 0)
        caps += ",framerate=" + std::to_string(mode.rateNumerator) + "/" +
                std::to_string(mode.rateDenominator);
    if (mode.mjpeg)
        caps += " ! jpegdec";
    return caps;
}

std::optional<DeviceDescription> describeDevice(const std::string& displayName,
                                                const Properties& properties,
                                                const std::string& sysfsRoot) {
    DeviceDescription d;
    const std::string mediaClass = lookup(properties, "media.class");
    const std::string role = lookup(properties, "media.role");
    const std::string nodeName = lookup(properties, "node.name");
    const bool pipeWire = !nodeName.empty() || !lookup(properties, "object.serial").empty();
    if (pipeWire) {
        // Only camera nodes: not screen casts or other programs' video streams.
        if (mediaClass != "Video/Source" || (!role.empty() && role != "Camera") || nodeName.empty())
            return std::nullopt;
        d.viaPipeWire = true;
        // The node name survives restarts of PipeWire and of the producer; the serial does not.
        d.target = nodeName;
    } else {
        d.target = lookup(properties, "device.path");
        if (d.target.empty())
            return std::nullopt;
    }

    // A V4L2 camera, whichever provider reports it: one identity from the bus position and the
    // card, so both reports meet and re-plugging into the same port keeps it.
    std::string v4l2Path = lookup(properties, pipeWire ? "api.v4l2.path" : "device.path");
    std::string busInfo =
        lookup(properties, pipeWire ? "api.v4l2.cap.bus_info" : "v4l2.device.bus_info");
    std::string card = lookup(properties, pipeWire ? "api.v4l2.cap.card" : "v4l2.device.card");
    if (!v4l2Path.empty()) {
        d.physicalKey = v4l2Path;
        d.device.uniqueID = busInfo.empty() ? "v4l2:" + v4l2Path : "v4l2:" + busInfo + "/" + card;
    } else if (pipeWire) {
        d.device.uniqueID = "pipewire:" + nodeName;
    } else {
        return std::nullopt;
    }

    d.device.localizedName = displayName;
    if (d.device.localizedName.empty())
        d.device.localizedName = lookup(properties, "node.description");
    if (d.device.localizedName.empty())
        d.device.localizedName = card.empty() ? nodeName : card;

    const std::string vendor = lookup(properties, "device.vendor.id");
    const std::string product = lookup(properties, "device.product.id");
    if (!vendor.empty() && !product.empty())
        d.device.modelID = vendor + ":" + product;
    else if (!card.empty())
        d.device.modelID = card;
    else if (!lookup(properties, "node.nick").empty())
        d.device.modelID = lookup(properties, "node.nick");
    else
        d.device.modelID = d.device.localizedName;

    d.device.deviceType = deviceTypeFor(properties, sysfsRoot);
    return d;
}

void addDescribedDevice(std::vector<DeviceDescription>& list, DeviceDescription description) {
    auto same = std::find_if(list.begin(), list.end(), [&](const DeviceDescription& d) {
        return d.device.uniqueID == description.device.uniqueID ||
               (!description.physicalKey.empty() && d.physicalKey == description.physicalKey);
    });
    if (same == list.end())
        list.push_back(std::move(description));
    else if (description.viaPipeWire && !same->viaPipeWire)
        *same = std::move(description);
}

AuthorizationStatus videoDeviceAccess(const std::string& deviceDirectory) {
    DIR* dir = ::opendir(deviceDirectory.c_str());
    if (!dir)
        return AuthorizationStatus::authorized;
    bool any = false;
    bool opened = false;
    bool refusedByPermission = false;
    while (dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, "video", 5) != 0)
            continue;
        const std::string path = deviceDirectory + "/" + entry->d_name;
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
            continue;
        any = true;
        // Opening a video node does not start the camera; it only shows whether we may.
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            opened = true;
        } else if (errno == EACCES) {
            refusedByPermission = true;
        } else if (errno != EPERM) {
            // Busy or failing: a matter for the session, not for access.
            opened = true;
        }
    }
    ::closedir(dir);
    if (!any || opened)
        return AuthorizationStatus::authorized;
    return refusedByPermission ? AuthorizationStatus::denied : AuthorizationStatus::restricted;
}

std::optional<std::string> findDemoClip() {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> candidates;
    for (const std::string& folder : installedDataDirectories())
        candidates.push_back(fs::path(folder) / "orlenta-demo.webm");
    candidates.push_back(fs::path(ORLENTA_SOURCE_DIR) / "demo" / "orlenta-demo.webm");
    for (const fs::path& candidate : candidates) {
        if (fs::is_regular_file(candidate, ec))
            return candidate.string();
    }
    return std::nullopt;
}

// --- the system ---------------------------------------------------------------------------------

struct GStreamerCaptureSystem::Impl : std::enable_shared_from_this<Impl> {
    Executor& main;
    GStreamerCaptureOptions options;
    size_t discoveryToken = 0;

    mutable std::mutex mutex;
    std::vector<DeviceDescription> entries; // as last announced, demo first
    std::map<size_t, DeviceObserver> observers;
    size_t lastObserver = 0;

    Impl(Executor& executor, GStreamerCaptureOptions o) : main(executor), options(std::move(o)) {}

    std::vector<DeviceDescription> currentEntries() const {
        std::vector<DeviceDescription> list;
        if (options.demoClipPath) {
            DeviceDescription demo;
            demo.device = demoDevice();
            demo.target = *options.demoClipPath;
            list.push_back(demo);
        }
        if (options.discoverCameras)
            for (DeviceDescription& entry : Discovery::instance().entries())
                list.push_back(std::move(entry));
        return list;
    }

    // Discovery thread: announces arrivals and removals on the main thread, after the list
    // that devices() answers has changed.
    void refresh() {
        std::vector<DeviceDescription> now = currentEntries();
        std::vector<std::pair<DeviceEvent, CaptureDevice>> events;
        {
            std::lock_guard lock(mutex);
            auto has = [](const std::vector<DeviceDescription>& list, const CaptureDevice& device) {
                return std::any_of(list.begin(), list.end(), [&](const DeviceDescription& e) {
                    return e.device.uniqueID == device.uniqueID;
                });
            };
            for (const DeviceDescription& old : entries)
                if (!has(now, old.device))
                    events.emplace_back(DeviceEvent::disconnected, old.device);
            for (const DeviceDescription& fresh : now)
                if (!has(entries, fresh.device))
                    events.emplace_back(DeviceEvent::connected, fresh.device);
            entries = std::move(now);
        }
        if (events.empty())
            return;
        std::weak_ptr<Impl> weak = weak_from_this();
        main.post([weak, events = std::move(events)] {
            auto self = weak.lock();
            if (!self)
                return;
            for (const auto& [event, device] : events) {
                std::vector<DeviceObserver> list;
                {
                    std::lock_guard lock(self->mutex);
                    for (const auto& [token, observer] : self->observers)
                        list.push_back(observer);
                }
                for (const DeviceObserver& observer : list)
                    observer(event, device);
            }
        });
    }

    std::optional<DeviceDescription> entryFor(const std::string& uniqueID) const {
        std::lock_guard lock(mutex);
        for (const DeviceDescription& entry : entries)
            if (entry.device.uniqueID == uniqueID)
                return entry;
        return std::nullopt;
    }
};

// --- sessions -----------------------------------------------------------------------------------

namespace {

// Where a session's frames go: shared by the session and its running pipelines, so that a
// pipeline's threads never need the session itself.
struct Delivery {
    std::mutex mutex;
    FrameSource::FrameHandler handler;
    SerialQueue* queue = nullptr;
};

class GstCaptureSession;

// One opened camera: a GStreamer pipeline ending in an appsink. Destroying it stops the
// pipeline (waiting for its threads) and lets the camera go.
struct Capture : std::enable_shared_from_this<Capture> {
    GstElement* pipeline = nullptr;
    GstAppSink* sink = nullptr;
    std::shared_ptr<Delivery> delivery;
    std::weak_ptr<GstCaptureSession> session;
    bool demo = false;
    uint64_t generation = 0;
    std::atomic<uint64_t> samplesSeen{0};
    std::atomic<bool> pullPending{false};
    std::atomic<int64_t> lastArrivalNanoseconds{0};
    // Video queue only.
    std::shared_ptr<PixelBufferPool> pool;

    ~Capture() {
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            GstBus* bus = gst_element_get_bus(pipeline);
            gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
            gst_object_unref(bus);
            gst_object_unref(pipeline);
        }
        if (sink)
            gst_object_unref(sink);
    }

    void post(Task task) {
        std::lock_guard lock(delivery->mutex);
        if (delivery->queue)
            delivery->queue->async(std::move(task));
    }

    // Streaming thread: note the frame, and have the video queue fetch the newest one unless a
    // fetch is already waiting.
    static GstFlowReturn onNewSample(GstAppSink*, gpointer data) {
        auto* self = static_cast<Capture*>(data);
        self->samplesSeen.fetch_add(1);
        self->lastArrivalNanoseconds = hostClockTime().value;
        if (self->pullPending.exchange(true))
            return GST_FLOW_OK;
        std::weak_ptr<Capture> weak = self->weak_from_this();
        self->post([weak] {
            if (auto capture = weak.lock())
                capture->deliverNewest();
        });
        return GST_FLOW_OK;
    }

    static GstBusSyncReply onBusMessage(GstBus*, GstMessage* message, gpointer data);

    // Video queue.
    void deliverNewest();
};

class GstCaptureSession final : public CaptureSession,
                                public std::enable_shared_from_this<GstCaptureSession> {
public:
    GstCaptureSession(std::weak_ptr<GStreamerCaptureSystem::Impl> system, double firstFrameTimeout)
        : system_(std::move(system)), firstFrameTimeout_(firstFrameTimeout),
          delivery_(std::make_shared<Delivery>()) {}

    ~GstCaptureSession() override { close(); }

    void setFrameHandler(FrameHandler handler, SerialQueue* queue) override {
        std::lock_guard lock(delivery_->mutex);
        delivery_->handler = std::move(handler);
        delivery_->queue = delivery_->handler ? queue : nullptr;
    }

    void startRunning() override {
        if (running_)
            return;
        running_ = true;
        reopenDelay_ = firstFrameTimeout_;
        if (input_ && !open())
            scheduleReopen();
    }

    void stopRunning() override {
        running_ = false;
        // A stopped session lets the camera go (its light goes off).
        close();
    }

    bool isRunning() const override { return running_; }

    bool setInput(const CaptureDevice& device) override {
        close();
        input_.reset();
        auto system = system_.lock();
        if (!system)
            return false;
        const std::optional<DeviceDescription> entry = system->entryFor(device.uniqueID);
        if (!entry)
            return false;
        input_ = *entry;
        reopenDelay_ = firstFrameTimeout_;
        // Opening it now tells whether it can be had; a stopped session lets it go again.
        if (!open()) {
            input_.reset();
            return false;
        }
        if (!running_)
            close();
        return true;
    }

    void removeInput() override {
        close();
        input_.reset();
    }

    std::optional<std::string> inputDeviceID() const override {
        if (!input_)
            return std::nullopt;
        return input_->device.uniqueID;
    }

    // Video queue: a message from the current pipeline.
    void onPipelineMessage(uint64_t generation, GstMessageType type) {
        if (!capture_ || capture_->generation != generation)
            return;
        if (type == GST_MESSAGE_SEGMENT_DONE && capture_->demo) {
            // The clip loops: a seek without flushing continues the running time, so pacing
            // goes on seamlessly.
            gst_element_seek_simple(capture_->pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_SEGMENT, 0);
            return;
        }
        if (type == GST_MESSAGE_ERROR || type == GST_MESSAGE_EOS) {
            close();
            scheduleReopen();
        }
    }

private:
    // Builds and (when running) plays the pipeline for the input. False when it cannot be made
    // or the camera cannot be opened.
    bool open() {
        close();
        if (!input_)
            return false;
        auto capture = std::make_shared<Capture>();
        capture->delivery = delivery_;
        capture->session = weak_from_this();
        capture->generation = ++generation_;
        capture->demo = input_->device.uniqueID == GStreamerCaptureSystem::kDemoUniqueID;
        if (!build(*capture))
            return false;
        // NULL to READY opens the device (v4l2src) or the PipeWire connection (pipewiresrc).
        if (gst_element_set_state(capture->pipeline, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE)
            return false;
        capture_ = capture;
        if (running_ && !play())
            return false;
        return true;
    }

    bool build(Capture& capture) {
        const DeviceDescription& d = *input_;
        std::string description;
        if (capture.demo) {
            description = std::string("filesrc name=source ! decodebin ! videoconvert ! ") +
                          kSinkCaps + " ! appsink name=sink sync=true";
        } else {
            // Caps right after the source: an unconstrained pipewiresrc never starts. Its
            // buffers are copied out of PipeWire's memory: when a camera goes away, pipewiresrc
            // unmaps the memory of buffers a frame being converted may still hold.
            const std::string source =
                d.viaPipeWire ? "pipewiresrc name=source do-timestamp=true always-copy=true"
                              : "v4l2src name=source";
            const std::string decode =
                input_->mode ? captureModeCaps(*input_->mode) + " ! " : "video/x-raw ! ";
            description = source + " ! " + decode + "videoconvert ! " + kSinkCaps +
                          " ! appsink name=sink sync=false";
        }
        GError* error = nullptr;
        GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
        if (error)
            g_error_free(error);
        if (!pipeline)
            return false;
        capture.pipeline = pipeline;
        GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
        if (!source || !sink) {
            if (source)
                gst_object_unref(source);
            if (sink)
                gst_object_unref(sink);
            return false;
        }
        if (capture.demo)
            g_object_set(source, "location", d.target.c_str(), nullptr);
        else if (d.viaPipeWire)
            g_object_set(source, "target-object", d.target.c_str(), nullptr);
        else
            g_object_set(source, "device", d.target.c_str(), nullptr);
        gst_object_unref(source);

        // The newest frame wins: one buffer waits at most, older ones are dropped.
        capture.sink = GST_APP_SINK(sink);
        gst_app_sink_set_drop(capture.sink, TRUE);
        gst_app_sink_set_max_buffers(capture.sink, 1);
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = &Capture::onNewSample;
        gst_app_sink_set_callbacks(capture.sink, &callbacks, &capture, nullptr);

        GstBus* bus = gst_element_get_bus(pipeline);
        gst_bus_set_sync_handler(bus, &Capture::onBusMessage, &capture, nullptr);
        gst_object_unref(bus);
        return true;
    }

    bool play() {
        Capture& capture = *capture_;
        if (capture.demo) {
            // Preroll, then play the whole clip as one segment so that its end is announced
            // instead of ending the stream.
            gst_element_set_state(capture.pipeline, GST_STATE_PAUSED);
            if (gst_element_get_state(capture.pipeline, nullptr, nullptr, 5 * GST_SECOND) ==
                GST_STATE_CHANGE_FAILURE) {
                close();
                return false;
            }
            gst_element_seek_simple(capture.pipeline, GST_FORMAT_TIME,
                                    GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_SEGMENT), 0);
        }
        if (gst_element_set_state(capture.pipeline, GST_STATE_PLAYING) ==
            GST_STATE_CHANGE_FAILURE) {
            close();
            return false;
        }
        armWatchdog();
        return true;
    }

    void close() { capture_.reset(); }

    // Several failures produce no error at all (a PipeWire node that never starts streaming):
    // a camera silent for too long after opening is opened again.
    void armWatchdog() {
        std::weak_ptr<GstCaptureSession> weak = weak_from_this();
        const uint64_t generation = generation_;
        postAfter(reopenDelay_, [weak, generation] {
            auto self = weak.lock();
            if (!self || !self->capture_ || self->capture_->generation != generation ||
                !self->running_)
                return;
            if (self->capture_->samplesSeen.load() > 0) {
                self->reopenDelay_ = self->firstFrameTimeout_;
                return;
            }
            self->close();
            self->growReopenDelay();
            if (!self->open())
                self->scheduleReopen();
        });
    }

    void scheduleReopen() {
        if (!running_ || !input_)
            return;
        std::weak_ptr<GstCaptureSession> weak = weak_from_this();
        const uint64_t generation = ++generation_;
        const double delay = reopenDelay_;
        growReopenDelay();
        postAfter(delay, [weak, generation] {
            auto self = weak.lock();
            if (!self || self->generation_ != generation || self->capture_ || !self->running_ ||
                !self->input_)
                return;
            // Only a camera that is still there.
            auto system = self->system_.lock();
            if (!system || !system->entryFor(self->input_->device.uniqueID)) {
                self->scheduleReopen();
                return;
            }
            if (!self->open())
                self->scheduleReopen();
        });
    }

    void growReopenDelay() {
        reopenDelay_ = std::min(reopenDelay_ * 2, firstFrameTimeout_ * kMaxReopenFactor);
    }

    void postAfter(double seconds, Task task) {
        std::lock_guard lock(delivery_->mutex);
        if (delivery_->queue)
            delivery_->queue->asyncAfter(seconds, std::move(task));
    }

    std::weak_ptr<GStreamerCaptureSystem::Impl> system_;
    const double firstFrameTimeout_;
    std::shared_ptr<Delivery> delivery_;
    // Video queue only.
    bool running_ = false;
    std::optional<DeviceDescription> input_;
    std::shared_ptr<Capture> capture_;
    uint64_t generation_ = 0;
    double reopenDelay_ = 0;
};

GstBusSyncReply Capture::onBusMessage(GstBus*, GstMessage* message, gpointer data) {
    auto* self = static_cast<Capture*>(data);
    const GstMessageType type = GST_MESSAGE_TYPE(message);
    if (type == GST_MESSAGE_ERROR || type == GST_MESSAGE_EOS || type == GST_MESSAGE_SEGMENT_DONE) {
        std::weak_ptr<GstCaptureSession> session = self->session;
        const uint64_t generation = self->generation;
        self->post([session, generation, type] {
            if (auto s = session.lock())
                s->onPipelineMessage(generation, type);
        });
    }
    return GST_BUS_DROP;
}

void Capture::deliverNewest() {
    pullPending = false;
    GstSample* sample = gst_app_sink_try_pull_sample(sink, 0);
    if (!sample)
        return;
    std::shared_ptr<SampleBuffer> frame;
    GstVideoInfo info;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    std::optional<CameraPixelFormat> format;
    if (buffer && caps && gst_video_info_from_caps(&info, caps))
        format = cameraPixelFormat(GST_VIDEO_INFO_FORMAT(&info));
    if (format) {
        const int width = GST_VIDEO_INFO_WIDTH(&info);
        const int height = GST_VIDEO_INFO_HEIGHT(&info);
        if (!pool || pool->attributes().width != width || pool->attributes().height != height) {
            PixelBufferPool::Attributes attributes;
            attributes.width = width;
            attributes.height = height;
            attributes.maxBuffers = kCapturePoolBuffers;
            pool = PixelBufferPool::create(attributes);
        }
        // No free buffer: the pipeline still holds the frames before; this one is dropped.
        std::shared_ptr<PixelBuffer> pixels = pool ? pool->createPixelBuffer() : nullptr;
        GstVideoFrame mapped;
        if (pixels && gst_video_frame_map(&mapped, &info, buffer, GST_MAP_READ)) {
            CameraPicture picture;
            picture.format = *format;
            picture.width = width;
            picture.height = height;
            for (guint i = 0; i < GST_VIDEO_FRAME_N_PLANES(&mapped) && i < 3; ++i) {
                picture.planes[i] =
                    static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped, i));
                picture.strides[i] = static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&mapped, i));
            }
            const bool converted = convertCameraPicture(picture, *pixels);
            gst_video_frame_unmap(&mapped);
            SampleTiming timing;
            timing.presentationTime = Time::make(lastArrivalNanoseconds.load(), 1'000'000'000);
            if (converted)
                frame = SampleBuffer::createReady(
                    pixels, *VideoFormatDescription::forImageBuffer(*pixels), timing);
        }
    }
    gst_sample_unref(sample);
    if (!frame)
        return;
    FrameSource::FrameHandler handler;
    {
        std::lock_guard lock(delivery->mutex);
        handler = delivery->handler;
    }
    if (handler)
        handler(std::move(frame));
}

} // namespace

// --- GStreamerCaptureSystem ---------------------------------------------------------------------

std::shared_ptr<GStreamerCaptureSystem>
GStreamerCaptureSystem::create(Executor& mainExecutor, GStreamerCaptureOptions options,
                               std::string* error) {
    if (!initGStreamer(error))
        return nullptr;
    for (const char* element : {"appsink", "videoconvert", "jpegdec"}) {
        if (!hasElement(element)) {
            if (error)
                *error = std::string("The GStreamer element ") + element +
                         " is missing (gstreamer1.0-plugins-base and -good provide it).";
            return nullptr;
        }
    }
    if (options.demoClipPath) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(*options.demoClipPath, ec)) {
            if (error)
                *error = "The demo clip " + *options.demoClipPath + " cannot be found.";
            return nullptr;
        }
        if (!hasElement("decodebin")) {
            if (error)
                *error = "The GStreamer element decodebin is missing.";
            return nullptr;
        }
    }
    auto impl = std::make_shared<Impl>(mainExecutor, std::move(options));
    impl->entries = impl->currentEntries();
    if (impl->options.discoverCameras) {
        std::weak_ptr<Impl> weak = impl;
        impl->discoveryToken = Discovery::instance().subscribe([weak] {
            if (auto self = weak.lock())
                self->refresh();
        });
        // Anything that arrived between the first listing and the subscription.
        impl->refresh();
    }
    return std::shared_ptr<GStreamerCaptureSystem>(new GStreamerCaptureSystem(std::move(impl)));
}

GStreamerCaptureSystem::GStreamerCaptureSystem(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl)) {}

GStreamerCaptureSystem::~GStreamerCaptureSystem() {
    if (impl_->discoveryToken)
        Discovery::instance().unsubscribe(impl_->discoveryToken);
}

std::vector<CaptureDevice> GStreamerCaptureSystem::devices() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<CaptureDevice> list;
    for (const DeviceDescription& entry : impl_->entries)
        list.push_back(entry.device);
    return list;
}

std::optional<CaptureDevice>
GStreamerCaptureSystem::deviceWithUniqueID(const std::string& uniqueID) const {
    const std::optional<DeviceDescription> entry = impl_->entryFor(uniqueID);
    if (!entry)
        return std::nullopt;
    return entry->device;
}

size_t GStreamerCaptureSystem::addDeviceObserver(DeviceObserver observer) {
    std::lock_guard lock(impl_->mutex);
    impl_->observers[++impl_->lastObserver] = std::move(observer);
    return impl_->lastObserver;
}

void GStreamerCaptureSystem::removeDeviceObserver(size_t token) {
    std::lock_guard lock(impl_->mutex);
    impl_->observers.erase(token);
}

AuthorizationStatus GStreamerCaptureSystem::authorizationStatus() {
    if (impl_->options.demoClipPath)
        return AuthorizationStatus::authorized;
    return videoDeviceAccess();
}

void GStreamerCaptureSystem::requestAccess(AccessHandler handler) {
    if (handler)
        handler(authorizationStatus() == AuthorizationStatus::authorized);
}

std::shared_ptr<CaptureSession> GStreamerCaptureSystem::makeSession() {
    return std::make_shared<GstCaptureSession>(impl_, impl_->options.firstFrameTimeout);
}

} // namespace orlenta
