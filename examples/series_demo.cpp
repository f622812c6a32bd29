// A time-step loop whose steps are not all alike: each step relaxes a 1-D
// field (relax) and exchanges its edges (exchange); every 500th step also
// writes a checkpoint, and step 1377 needs 50 times the sweeps of the
// others. Run with TIMETREE_SERIES=step, its series finds them:
//
//   TIMETREE_SERIES=step TIMETREE_OUTPUT=json:series.json ./series_demo
//   timetree show series.json --series step
#include <timetree.h>

#include <cstdio>
#include <vector>

namespace {

double Relax(std::vector<double>& field, int sweeps) {
  TIMETREE_SCOPE("relax");
  double change = 0;
  for (int s = 0; s < sweeps; ++s) {
    change = 0;
    for (size_t i = 1; i + 1 < field.size(); ++i) {
      const double next = 0.5 * (field[i - 1] + field[i + 1]);
      change += next > field[i] ? next - field[i] : field[i] - next;
      field[i] = next;
    }
  }
  return change;
}

void Exchange(std::vector<double>& field) {
  TIMETREE_SCOPE("exchange");
  field.front() = field[field.size() - 2];
  field.back() = field[1];
}

void Checkpoint(const std::vector<double>& field, std::vector<double>& saved) {
  TIMETREE_SCOPE("checkpoint");
  for (int copy = 0; copy < 200; ++copy) saved.assign(field.begin(), field.end());
}

}  // namespace

int main() {
  std::vector<double> field(4096), saved;
  for (size_t i = 0; i < field.size(); ++i) field[i] = static_cast<double>(i % 17);
  double change = 0;
  TIMETREE_SCOPE("run");
  for (int step = 1; step <= 2000; ++step) {
    TIMETREE_SCOPE("step");
    change += Relax(field, step == 1377 ? 100 : 2);
    Exchange(field);
    if (step % 500 == 0) Checkpoint(field, saved);
  }
  std::printf("2000 steps, last change %g\n", change);
  return 0;
}
