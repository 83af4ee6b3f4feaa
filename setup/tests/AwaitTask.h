#pragma once

#include <QCoroTask>
#include <QEventLoop>
#include <exception>
#include <optional>

namespace tether {

// The result of a task, waited for in a nested event loop; a task that fails rethrows its error.
// (QCoro 0.8's own waitFor() never returns when the task throws: its helper coroutine keeps the
// exception and the loop is never left.)
template <class T>
T awaitTask(QCoro::Task<T> task) {
  std::optional<T> value;
  std::exception_ptr error;
  bool finished = false;
  QEventLoop loop;
  auto run = [&]() -> QCoro::Task<> {
    try {
      value.emplace(co_await std::move(task));
    } catch (...) {
      error = std::current_exception();
    }
    finished = true;
    loop.quit();
  };
  auto running = run();
  if (!finished) loop.exec();
  if (error) std::rethrow_exception(error);
  return std::move(*value);
}

// The same for a task without a result.
inline void awaitTask(QCoro::Task<> task) {
  awaitTask([](QCoro::Task<> inner) -> QCoro::Task<bool> {
    co_await std::move(inner);
    co_return true;
  }(std::move(task)));
}

}  // namespace tether
