#include "mornik/platform/SoundPlayer.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include <gst/gst.h>
#include <pthread.h>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/text/URL.hpp"

namespace mornik {

namespace {

// playbin's flags: the audio only, with its own volume element (without it
// a sink that has no volume of its own plays at full volume).
constexpr unsigned kPlayAudioOnly = 0x2 | 0x10;
constexpr GstClockTime kLoadTimeout = 10 * GST_SECOND;

LockedVar<std::string>& defaultSink() {
  static LockedVar<std::string> sink{std::string()};
  return sink;
}

// The thread whose main loop watches the players' buses: ends of stream
// and errors arrive there, and looping seeks are made there (never on a
// streaming thread).
GMainContext* gstContext() {
  static GMainContext* context = [] {
    gst_init(nullptr, nullptr);
    auto* made = g_main_context_new();
    std::thread([made] {
      pthread_setname_np(pthread_self(), "mornik.gst");
      g_main_context_push_thread_default(made);
      GMainLoop* loop = g_main_loop_new(made, FALSE);
      g_main_loop_run(loop);  // until the process ends
    }).detach();
    return made;
  }();
  return context;
}

class GstSoundPlayer final : public SoundPlayer,
                             public std::enable_shared_from_this<GstSoundPlayer> {
 public:
  explicit GstSoundPlayer(GstElement* playbin, double duration, double rate)
      : playbin_(playbin), duration_(duration), rate_(rate) {}

  ~GstSoundPlayer() override {
    if (watch_ != nullptr) {
      g_source_destroy(watch_);
      g_source_unref(watch_);
    }
    gst_element_set_state(playbin_, GST_STATE_NULL);
    gst_object_unref(playbin_);
  }

  // Starts watching the bus on the GStreamer thread.
  void watch(bool loop) {
    loop_.store(loop);
    GstBus* bus = gst_element_get_bus(playbin_);
    watch_ = gst_bus_create_watch(bus);
    gst_object_unref(bus);
    g_source_set_callback(watch_, G_SOURCE_FUNC(&GstSoundPlayer::onMessage),
                          new std::weak_ptr<GstSoundPlayer>(weak_from_this()), [](gpointer data) {
                            delete static_cast<std::weak_ptr<GstSoundPlayer>*>(data);
                          });
    g_source_attach(watch_, gstContext());
  }

  Result<void> play() override {
    playing_.store(true);
    if (gst_element_set_state(playbin_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
      playing_.store(false);
      return WTF("cannot play: the audio output refused to start", 0);
    }
    return {};
  }

  void stop() override {
    playing_.store(false);
    gst_element_set_state(playbin_, GST_STATE_PAUSED);
    seekToStart();
  }

  bool isPlaying() const override { return playing_.load(); }
  double duration() const override { return duration_; }

  void setVolume(float volume) override {
    g_object_set(playbin_, "volume", static_cast<double>(std::clamp(volume, 0.0f, 10.0f)), nullptr);
  }

  void setRate(double rate) override {
    if (!(rate > 0)) return;
    rate_.store(rate);
    // From where it is now, at the new rate.
    gint64 position = 0;
    if (!gst_element_query_position(playbin_, GST_FORMAT_TIME, &position)) position = 0;
    gst_element_seek(playbin_, rate, GST_FORMAT_TIME,
                     static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                     GST_SEEK_TYPE_SET, position, GST_SEEK_TYPE_NONE, GST_CLOCK_TIME_NONE);
  }

  void setLoops(bool loop) override { loop_.store(loop); }

  void seekToStart() {
    gst_element_seek(playbin_, rate_.load(), GST_FORMAT_TIME,
                     static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                     GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_NONE, GST_CLOCK_TIME_NONE);
  }

 private:
  static gboolean onMessage(GstBus* /*bus*/, GstMessage* message, gpointer data) {
    std::shared_ptr<GstSoundPlayer> self =
        static_cast<std::weak_ptr<GstSoundPlayer>*>(data)->lock();
    if (!self) return G_SOURCE_REMOVE;
    switch (GST_MESSAGE_TYPE(message)) {
      case GST_MESSAGE_EOS:
        if (self->loop_.load() && self->playing_.load()) {
          self->seekToStart();
        } else {
          self->playing_.store(false);
        }
        break;
      case GST_MESSAGE_ERROR:
        self->playing_.store(false);
        break;
      default:
        break;
    }
    return G_SOURCE_CONTINUE;
  }

  GstElement* const playbin_;
  const double duration_;
  std::atomic<double> rate_;
  std::atomic<bool> loop_{false};
  std::atomic<bool> playing_{false};
  GSource* watch_ = nullptr;
};

// The message of the first error on the bus, if any.
std::string busError(GstElement* element) {
  GstBus* bus = gst_element_get_bus(element);
  std::string text = "not a sound GStreamer can play";
  if (GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
    GError* error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    if (error != nullptr) text = error->message;
    g_clear_error(&error);
    gst_message_unref(message);
  }
  gst_object_unref(bus);
  return text;
}

}  // namespace

Result<std::shared_ptr<SoundPlayer>> SoundPlayer::make(const std::filesystem::path& file,
                                                       Options options) {
  const std::string shown = file.string();
  std::error_code missing;
  if (!std::filesystem::is_regular_file(file, missing)) {
    return WTF("cannot play " + shown + ": no such file", 0);
  }
  gstContext();  // GStreamer initialised
  GstElement* playbin = gst_element_factory_make("playbin", nullptr);
  if (playbin == nullptr) {
    return WTF("cannot play " + shown + ": GStreamer's playbin is not installed", 0);
  }
  gst_object_ref_sink(playbin);
  const std::string uri =
      URL::fileURL(std::filesystem::absolute(file).lexically_normal().string()).absoluteString();
  g_object_set(playbin, "uri", uri.c_str(), "flags", kPlayAudioOnly, "volume",
               static_cast<double>(std::clamp(options.volume, 0.0f, 10.0f)), nullptr);
  const std::string sink = options.sink.empty() ? defaultSink().read() : options.sink;
  if (!sink.empty()) {
    GError* error = nullptr;
    GstElement* bin = gst_parse_bin_from_description(sink.c_str(), TRUE, &error);
    if (bin == nullptr) {
      const std::string message = error != nullptr ? error->message : "unknown error";
      g_clear_error(&error);
      gst_object_unref(playbin);
      return WTF("cannot play " + shown + ": bad sink \"" + sink + "\": " + message, 0);
    }
    g_object_set(playbin, "audio-sink", bin, nullptr);
  }
  gst_element_set_state(playbin, GST_STATE_PAUSED);
  if (gst_element_get_state(playbin, nullptr, nullptr, kLoadTimeout) != GST_STATE_CHANGE_SUCCESS) {
    const std::string reason = busError(playbin);
    gst_element_set_state(playbin, GST_STATE_NULL);
    gst_object_unref(playbin);
    return WTF("cannot play " + shown + ": " + reason, 0);
  }
  gint64 nanoseconds = 0;
  const double duration = gst_element_query_duration(playbin, GST_FORMAT_TIME, &nanoseconds)
                              ? static_cast<double>(nanoseconds) / GST_SECOND
                              : 0.0;
  const double rate = options.rate > 0 ? options.rate : 1.0;
  auto player = std::make_shared<GstSoundPlayer>(playbin, duration, rate);
  if (rate != 1.0) player->seekToStart();
  player->watch(options.loop);
  return std::shared_ptr<SoundPlayer>(player);
}

void SoundPlayer::setDefaultSink(std::string description) {
  defaultSink().set(std::move(description));
}

std::optional<std::filesystem::path> systemSoundPath(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  std::vector<std::filesystem::path> folders;
  const auto fromEnvironment = [](const char* variable) -> std::string {
    const char* value = std::getenv(variable);  // NOLINT(concurrency-mt-unsafe): read only
    return value != nullptr ? value : "";
  };
  std::string dataHome = fromEnvironment("XDG_DATA_HOME");
  if (dataHome.empty() && !fromEnvironment("HOME").empty()) {
    dataHome = fromEnvironment("HOME") + "/.local/share";
  }
  if (!dataHome.empty()) folders.emplace_back(dataHome);
  std::string dirs = fromEnvironment("XDG_DATA_DIRS");
  if (dirs.empty()) dirs = "/usr/local/share:/usr/share";
  std::string_view rest = dirs;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    if (colon != 0) folders.emplace_back(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  for (const auto& folder : folders) {
    for (const char* extension : {".oga", ".ogg", ".wav"}) {
      auto candidate = folder / "sounds/freedesktop/stereo" / (std::string(name) + extension);
      std::error_code error;
      if (std::filesystem::is_regular_file(candidate, error)) return candidate;
    }
  }
  return std::nullopt;
}

}  // namespace mornik
