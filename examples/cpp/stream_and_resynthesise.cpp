// Streams a generated signal through the continuous gammatone filterbank, a
// chunk at a time, as a program reading a sound card would; then analyses and
// resynthesises it in one pass.
//
//   stream_and_resynthesise [rows.f64]
//
// With a path, writes the rows there as raw little-endian float64 (frames x
// bands), the same bits as vorl.cochleagram(signal, 16000, num_bands=32,
// frame_length=400, hop_length=160) in Python.
#include <vorl/vorl.hpp>

#include <cmath>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    const std::int32_t rate = 16000;
    const std::size_t samples = 2 * rate;

    // A signal with the same bits in any language: a sawtooth of 80 Hz whose
    // level drops by 12 dB every other eighth of a second.
    std::vector<double> signal(samples);
    for (std::size_t t = 0; t < samples; ++t) {
        const double saw = static_cast<double>(static_cast<long>(t * 37 % 200) - 100) / 100.0;
        signal[t] = saw * (t % 4000 < 2000 ? 1.0 : 0.25);
    }

    // 32 bands on the ERB-rate scale from 50 Hz to 0.45 of the rate; frames of
    // 25 ms every 10 ms; rows are log10 of each band's mean envelope.
    const vorl::Bank bank = vorl::Bank::on_erb_scale(rate, 32, 50.0, 0.45 * rate);
    vorl::ContinuousStream stream(bank, vorl::ContinuousStream::What::rows, 400, 160,
                                  /*channel=*/0, vorl::Level{true, 1e-10}, /*threads=*/1);
    std::vector<double> rows;
    const std::size_t chunk = 1000;  // samples per push, as they arrive
    for (std::size_t t0 = 0; t0 < samples; t0 += chunk) {
        const std::size_t n = std::min(chunk, samples - t0);
        const vorl::Array part =
            stream.push(vorl::SignalView::planar(signal.data() + t0, 1, n));
        rows.insert(rows.end(), part.values.begin(), part.values.end());
    }
    const std::size_t bands = bank.filters.size(), frames = rows.size() / bands;
    std::printf("rows: %zu frames x %zu bands, streamed in chunks of %zu samples\n", frames,
                bands, chunk);
    std::printf("band levels of frame 100 (log10):");
    for (std::size_t k = 0; k < bands; k += 8) std::printf(" %.4f", rows[100 * bands + k]);
    std::printf("\n");

    // The bands summed back: each band's real part (factor 1, no delay) is its
    // band-pass signal, so the sum is the signal through the bank's overall
    // response.
    vorl::Resynthesis resynthesis(bank, 0, std::vector<double>(bands, 1.0),
                                  std::vector<double>(bands, 0.0),
                                  std::vector<std::size_t>(bands, 0), 1);
    const vorl::Array out = resynthesis.push(vorl::SignalView::planar(signal.data(), 1, samples));
    double in_energy = 0, out_energy = 0, cross = 0;
    for (std::size_t t = 0; t < samples; ++t) {
        in_energy += signal[t] * signal[t];
        out_energy += out.values[t] * out.values[t];
        cross += signal[t] * out.values[t];
    }
    std::printf("resynthesis: %zu samples, correlation with the input %.3f\n", out.values.size(),
                cross / std::sqrt(in_energy * out_energy));

    if (argc > 1) {
        std::FILE* file = std::fopen(argv[1], "wb");
        if (file == nullptr || std::fwrite(rows.data(), sizeof(double), rows.size(), file) !=
                                   rows.size() || std::fclose(file) != 0) {
            std::perror(argv[1]);
            return 1;
        }
    }
    return 0;
}
