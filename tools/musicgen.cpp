// Writes one music track as MP3: a slow chord progression with a pad, a bass
// line and an arpeggio, all from a seeded generator, so a build always makes
// the same bytes. Usage: tolv_musicgen <track 1..5> <seconds> <out.mp3>
#include <lame/lame.h>

#include "platform/foundation/Files.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kSampleRate = 44100;
constexpr double kPi = 3.14159265358979323846;

// Small linear congruential generator: the same seed gives the same track on
// every machine, unlike std::rand.
struct Lcg {
  std::uint32_t state;
  std::uint32_t next() { return state = state * 1664525u + 1013904223u; }
  int below(int n) { return static_cast<int>((next() >> 8) % static_cast<std::uint32_t>(n)); }
};

double noteFrequency(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

struct TrackStyle {
  int root;        // MIDI note of the key
  double tempo;    // beats per minute
  int chords[4];   // scale degrees of the progression
  bool minor;
};

TrackStyle styleFor(int track) {
  static const TrackStyle styles[5] = {
      {57, 84, {0, 5, 3, 4}, true},   // A minor
      {60, 96, {0, 4, 5, 3}, false},  // C major
      {62, 72, {0, 3, 5, 4}, true},   // D minor
      {55, 108, {0, 5, 1, 4}, false}, // G major
      {52, 90, {0, 6, 5, 4}, true},   // E minor
  };
  return styles[(track - 1) % 5];
}

int scaleNote(const TrackStyle& s, int degree) {
  static const int major[7] = {0, 2, 4, 5, 7, 9, 11};
  static const int minor[7] = {0, 2, 3, 5, 7, 8, 10};
  const int* steps = s.minor ? minor : major;
  int octave = degree >= 0 ? degree / 7 : (degree - 6) / 7;
  int index = degree - octave * 7;
  return s.root + octave * 12 + steps[index];
}

std::vector<float> synthesise(int track, double seconds) {
  const TrackStyle style = styleFor(track);
  const std::size_t total = static_cast<std::size_t>(seconds * kSampleRate);
  std::vector<float> out(total, 0.0f);
  Lcg rng{0x7015u + static_cast<std::uint32_t>(track) * 7919u};

  const double beat = 60.0 / style.tempo;
  const double bar = 4 * beat;
  const double step = beat / 2;  // arpeggio in eighth notes

  // Pad and bass: one chord per bar, triads from the scale.
  for (std::size_t i = 0; i < total; ++i) {
    double t = static_cast<double>(i) / kSampleRate;
    int barIndex = static_cast<int>(t / bar);
    int degree = style.chords[barIndex % 4];
    double inBar = t - barIndex * bar;
    double swell = 0.5 - 0.5 * std::cos(2 * kPi * std::min(inBar / bar, 1.0));
    double pad = 0;
    for (int voice = 0; voice < 3; ++voice) {
      double f = noteFrequency(scaleNote(style, degree + voice * 2));
      pad += std::sin(2 * kPi * f * t) + 0.5 * std::sin(2 * kPi * f * 1.003 * t);
    }
    double bassF = noteFrequency(scaleNote(style, degree) - 24);
    double bassEnv = std::exp(-3.0 * std::fmod(inBar, beat * 2));
    double bass = std::sin(2 * kPi * bassF * t) * bassEnv;
    out[i] = static_cast<float>(0.05 * pad * (0.4 + 0.6 * swell) + 0.25 * bass);
  }

  // Arpeggio: a plucked triangle wave on chord tones chosen at random.
  std::size_t stepSamples = static_cast<std::size_t>(step * kSampleRate);
  for (std::size_t start = 0; start < total; start += stepSamples) {
    double t0 = static_cast<double>(start) / kSampleRate;
    int degree = style.chords[static_cast<int>(t0 / bar) % 4];
    if (rng.below(5) == 0) continue;  // rests keep it breathing
    int note = scaleNote(style, degree + 7 + 2 * rng.below(4));
    double f = noteFrequency(note);
    std::size_t length = std::min(total - start, stepSamples * 3);
    for (std::size_t k = 0; k < length; ++k) {
      double t = static_cast<double>(k) / kSampleRate;
      double phase = std::fmod(f * t, 1.0);
      double triangle = 4 * std::fabs(phase - 0.5) - 1;
      out[start + k] += static_cast<float>(0.12 * triangle * std::exp(-4.0 * t) * std::min(1.0, t * 200));
    }
  }

  // Fade in and out so the loop from one track to the next has no click.
  std::size_t fade = std::min<std::size_t>(total / 4, kSampleRate * 2);
  for (std::size_t i = 0; i < fade; ++i) {
    float g = static_cast<float>(i) / static_cast<float>(fade);
    out[i] *= g;
    out[total - 1 - i] *= g;
  }
  return out;
}

bool encode(const std::vector<float>& pcm, const std::string& path) {
  lame_t lame = lame_init();
  if (!lame) return false;
  lame_set_in_samplerate(lame, kSampleRate);
  lame_set_out_samplerate(lame, kSampleRate);
  lame_set_num_channels(lame, 1);
  lame_set_mode(lame, MONO);
  lame_set_brate(lame, 96);
  lame_set_quality(lame, 5);
  lame_set_bWriteVbrTag(lame, 0);
  if (lame_init_params(lame) < 0) {
    lame_close(lame);
    return false;
  }
  std::vector<short> samples(pcm.size());
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    float v = std::max(-1.0f, std::min(1.0f, pcm[i]));
    samples[i] = static_cast<short>(std::lround(v * 32000.0f));
  }
  std::vector<unsigned char> mp3(samples.size() * 5 / 4 + 7200);
  int written = lame_encode_buffer(lame, samples.data(), samples.data(), static_cast<int>(samples.size()), mp3.data(),
                                   static_cast<int>(mp3.size()));
  bool ok = written >= 0;
  std::size_t size = ok ? static_cast<std::size_t>(written) : 0;
  if (ok) {
    int tail = lame_encode_flush(lame, mp3.data() + size, static_cast<int>(mp3.size() - size));
    ok = tail >= 0;
    if (ok) size += static_cast<std::size_t>(tail);
  }
  lame_close(lame);
  return ok && foundation::writeFileAtomically(path, mp3.data(), size, 0644).ok();  // a resource, for every reader
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <track 1..5> <seconds> <out.mp3>\n", argv[0]);
    return 2;
  }
  int track = std::atoi(argv[1]);
  double seconds = std::atof(argv[2]);
  if (track < 1 || track > 5 || !(seconds > 0 && seconds <= 600)) {
    std::fprintf(stderr, "tolv_musicgen: track must be 1..5 and seconds in (0, 600]\n");
    return 2;
  }
  if (!encode(synthesise(track, seconds), argv[3])) {
    std::fprintf(stderr, "tolv_musicgen: could not write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
