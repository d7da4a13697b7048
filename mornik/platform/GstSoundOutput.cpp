#include <algorithm>
#include <atomic>
#include <utility>

#include <gst/gst.h>

#include "mornik/concurrency/BlockingScope.hpp"
#include "mornik/platform/SoundPlayer.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"
#include "mornik/platform/detail/Gio.hpp"
#include "mornik/text/URL.hpp"

namespace mornik {

namespace {

// playbin's flags: the audio only, with its own volume element (without it
// a sink that has no volume of its own plays at full volume).
constexpr unsigned kPlayAudioOnly = 0x2 | 0x10;
constexpr GstClockTime kLoadTimeout = 10 * GST_SECOND;

// The players' buses are watched on the library's GLib thread: ends of
// stream and errors arrive there, and looping seeks are made there (never on
// a streaming thread).
GMainContext* gstContext() {
  static GMainContext* const context = [] {
    gst_init(nullptr, nullptr);
    return detail::glibContext();
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

class GstSoundOutput final : public SoundOutput {
 public:
  explicit GstSoundOutput(std::string defaultSink) : defaultSink_(std::move(defaultSink)) {}

  Result<std::shared_ptr<SoundPlayer>> load(const std::filesystem::path& file,
                                            const SoundPlayer::Options& options) override;

 private:
  const std::string defaultSink_;
};

}  // namespace

Result<std::shared_ptr<SoundPlayer>> GstSoundOutput::load(const std::filesystem::path& file,
                                                          const SoundPlayer::Options& options) {
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
  const std::string sink = options.sink.empty() ? defaultSink_ : options.sink;
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
  GstStateChangeReturn loaded = GST_STATE_CHANGE_FAILURE;
  {
    const BlockingScope blocking;  // up to kLoadTimeout
    loaded = gst_element_get_state(playbin, nullptr, nullptr, kLoadTimeout);
  }
  if (loaded != GST_STATE_CHANGE_SUCCESS) {
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

Result<std::shared_ptr<SoundOutput>> SoundOutput::makeGStreamer(std::string defaultSink) {
  GError* error = nullptr;
  if (gst_init_check(nullptr, nullptr, &error) == FALSE) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    return WTF("GStreamer cannot start: " + message, 0);
  }
  return std::shared_ptr<SoundOutput>(std::make_shared<GstSoundOutput>(std::move(defaultSink)));
}

Result<std::shared_ptr<SoundOutput>> detail::desktopSoundOutput() {
  return SoundOutput::makeGStreamer();
}

}  // namespace mornik
