#include "driverlibs.h"

#include "wllog.h"

#include <atomic>
#include <dlfcn.h>
#include <mutex>

namespace driverlibs {
namespace {

// The library if a plugin has loaded it; never loads it.
void* loaded(const char* soname)
{
    return ::dlopen(soname, RTLD_LAZY | RTLD_NOLOAD);
}

template <typename F> bool resolve(void* lib, const char* name, F& into)
{
    into = reinterpret_cast<F>(::dlsym(lib, name));
    if (!into) {
        const char* why = ::dlerror();
        qCWarning(lcDb, "%s: %s", name, why ? why : "not found");
    }
    return into != nullptr;
}

// A table is filled the first time its library is found, and kept: Qt never unloads its SQL
// drivers, nor so the libraries they loaded. Once filled it is read without a lock (SQLite calls
// upper() for every row).
template <typename T, typename Fill> const T* table(T& t, std::atomic<bool>& filled, Fill fill)
{
    if (!filled.load(std::memory_order_acquire)) {
        static std::mutex mutex;
        std::lock_guard lock(mutex);
        if (!filled.load(std::memory_order_relaxed) && fill(t))
            filled.store(true, std::memory_order_release);
    }
    return filled.load(std::memory_order_acquire) ? &t : nullptr;
}

} // namespace

const Postgres* postgres()
{
    static Postgres t{};
    static std::atomic<bool> filled{false};
    return table(t, filled, [](Postgres& p) {
        void* lib = loaded("libpq.so.5");
        return lib && resolve(lib, "PQstatus", p.status) && resolve(lib, "PQsocket", p.socket);
    });
}

const Odbc* odbc()
{
    static Odbc t{};
    static std::atomic<bool> filled{false};
    return table(t, filled, [](Odbc& o) {
        void* lib = loaded("libodbc.so.2");
        return lib && resolve(lib, "SQLSetStmtAttr", o.setStmtAttr);
    });
}

const Sqlite* sqlite()
{
    static Sqlite t{};
    static std::atomic<bool> filled{false};
    return table(t, filled, [](Sqlite& q) {
        void* lib = loaded("libsqlite3.so.0");
        return lib && resolve(lib, "sqlite3_create_function_v2", q.createFunction) &&
               resolve(lib, "sqlite3_value_type", q.valueType) &&
               resolve(lib, "sqlite3_value_text", q.valueText) &&
               resolve(lib, "sqlite3_value_bytes", q.valueBytes) &&
               resolve(lib, "sqlite3_result_null", q.resultNull) &&
               resolve(lib, "sqlite3_result_text", q.resultText);
    });
}

} // namespace driverlibs
