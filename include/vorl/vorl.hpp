#pragma once

// Every road of Vorl's core, for programs that want them all.
//
//   extractor/   the framed extractor: `Extractor`, `GammatoneFilterbank`, the ERB-rate scale
//   framed/      whole signals and streams through the framed extractor
//   continuous/  filters carried through a signal: rows, envelopes, band and analytic signals
//   synthesis/   complex band signals back to a signal; analysis and synthesis in one pass
//   streams/     what every stream shares: the push protocol, threads, results
//   simd/, kernels/  the instruction sets and the per-sample work compiled for each

#include "vorl/continuous/bank.hpp"
#include "vorl/continuous/continuous_filterbank.hpp"
#include "vorl/continuous/continuous_frames.hpp"
#include "vorl/continuous/continuous_stream.hpp"
#include "vorl/continuous/level.hpp"
#include "vorl/continuous/signal_view.hpp"
#include "vorl/extractor/extractor.hpp"
#include "vorl/extractor/gammatone_filterbank.hpp"
#include "vorl/framed/framed_analysis.hpp"
#include "vorl/framed/framed_stream.hpp"
#include "vorl/simd/arch.hpp"
#include "vorl/streams/array.hpp"
#include "vorl/streams/push_guard.hpp"
#include "vorl/streams/tasks.hpp"
#include "vorl/synthesis/resynthesis.hpp"
#include "vorl/synthesis/synthesis.hpp"
#include "vorl/synthesis/synthesis_stream.hpp"
