// The library's one door to xraylib. Every call passes a null xrl_error**: the library
// never consults xraylib's error reporting, so a missing datum enters the formulas as the
// 0 that xraylib returns. Keep <xraylib.h> (which defines unprefixed macros such as PI)
// out of every other file.
#ifndef CALYX_DETAIL_XRAYLIB_H
#define CALYX_DETAIL_XRAYLIB_H

#include <xraylib.h>

#ifdef PI
#undef PI
#endif

namespace calyx {
namespace detail {
namespace xrl {

inline double csTotal(int Z, double E) { return ::CS_Total(Z, E, nullptr); }
inline double csPhoto(int Z, double E) { return ::CS_Photo(Z, E, nullptr); }
/// Sum of the subshells' photoionisation cross sections (fewer shells than CS_Photo knows).
inline double csPhotoTotal(int Z, double E) { return ::CS_Photo_Total(Z, E, nullptr); }
inline double csCompt(int Z, double E) { return ::CS_Compt(Z, E, nullptr); }
inline double csRayl(int Z, double E) { return ::CS_Rayl(Z, E, nullptr); }
inline double elementDensity(int Z) { return ::ElementDensity(Z, nullptr); }
inline double lineEnergy(int Z, int line) { return ::LineEnergy(Z, line, nullptr); }
inline double edgeEnergy(int Z, int shell) { return ::EdgeEnergy(Z, shell, nullptr); }
inline double radRate(int Z, int line) { return ::RadRate(Z, line, nullptr); }
inline double jumpFactor(int Z, int shell) { return ::JumpFactor(Z, shell, nullptr); }
inline double fluorYield(int Z, int shell) { return ::FluorYield(Z, shell, nullptr); }
inline double cosKronTransProb(int Z, int trans) { return ::CosKronTransProb(Z, trans, nullptr); }
inline double atomicWeight(int Z) { return ::AtomicWeight(Z, nullptr); }
inline int symbolToAtomicNumber(const char* symbol) { return ::SymbolToAtomicNumber(symbol, nullptr); }
/// Caller releases the result with xrlFree (see symbolTable in Chemistry.cpp).
inline char* atomicNumberToSymbol(int Z) { return ::AtomicNumberToSymbol(Z, nullptr); }
inline void free(void* p) { ::xrlFree(p); }
inline compoundData* compoundParser(const char* formula) { return ::CompoundParser(formula, nullptr); }
inline void freeCompoundData(compoundData* data) { ::FreeCompoundData(data); }

}  // namespace xrl
}  // namespace detail
}  // namespace calyx

#endif  // CALYX_DETAIL_XRAYLIB_H
