// What the classifier says of a line held whole, read in pieces of every size,
// and after the bulk copy read the lines before it: the same each way. Lines
// start from X0 Y0, absolute, in millimetres; only the last line is checked.
#include "pass/line_classifier.h"

#include <cmath>
#include <string>

#include "check.h"

namespace {

struct row {
  std::string lines;
  bool g1_rule;
  bool travel, sets_fan, fan_on;
  const char* speed;
  bool moves_xy, known;
  double distance;
};

const std::string blanks(300, ' ');

const row rows[] = {
    // Travel moves: the marker anywhere, and the G1 rule.
    {"G0 X10", false, true, false, false, "", true, true, 10},
    {"; G0 X0 here", false, true, false, false, "", false, true, 0},
    {"G00 X5", false, false, false, false, "", true, true, 5},
    {"G1 X3 Y4", true, true, false, false, "", true, true, 5},
    {"G1 X3 Y4", false, false, false, false, "", true, true, 5},
    {"G1 X3 Y4 E1", true, false, false, false, "", true, true, 5},
    {"G1 X65.2 Y75.9 E0 F9000", true, true, false, false, "", true, true, 100.06},
    {"\tG1  Y1 E-0.0", true, true, false, false, "", true, true, 1},
    {"G1 X3 ; E5", true, true, false, false, "", true, true, 3},
    {"G1 E-0.8 ; X9", true, false, false, false, "", false, true, 0},
    {"G1 Z0.4 F720", true, false, false, false, "", false, true, 0},
    {"G1X10", true, false, false, false, "", true, false, 0},
    // The print's own fan.
    {"M106 S127.5", false, false, true, true, "127.5", false, true, 0},
    {" M106", false, false, true, true, "255", false, true, 0},
    {"M106 S0.0", false, false, true, false, "", false, true, 0},
    {"M106 P1 S9", false, false, false, false, "", false, true, 0},
    {"M106 P0 S9", false, false, true, true, "9", false, true, 0},
    {"M106 P-0 S9", false, false, true, true, "9", false, true, 0},
    {"M106 P S9", false, false, false, false, "", false, true, 0},
    {"M107 P10", false, false, false, false, "", false, true, 0},
    {"M107 ; G0 ", false, true, true, false, "", false, true, 0},
    {"M106 S" + std::string(33, '1'), false, false, true, false, "", false, true, 0},
    {"M1060 S5", false, false, false, false, "", false, true, 0},
    // Where the nozzle is, through modes and commands that set it.
    {"G91\nG0 X3 Y-4", false, true, false, false, "", true, true, 5},
    {"G91\nG0 X3\nG90\nG0 X6", false, true, false, false, "", true, true, 3},
    {"G20\nG0 X1", false, true, false, false, "", true, true, 25.4},
    {"G20\nG21\nG0 X1", false, true, false, false, "", true, true, 1},
    {"G92 X5\nG0 X6", false, true, false, false, "", true, true, 1},
    {"G92\nG0 X6 Y0", false, true, false, false, "", true, false, 0},
    {"G28\nG0 X1 Y1", false, true, false, false, "", true, false, 0},
    {"G28 Y\nG0 X1", false, true, false, false, "", true, false, 0},
    {"G28 Y ; G0\nG0 Y1\nG0 X3", false, true, false, false, "", true, true, 3},
    {"G28 X\nG0 Y1\nG0 X0\nG0 X3", false, true, false, false, "", true, true, 3},
    {"G91\nG28\nG0 X1 Y1", false, true, false, false, "", true, false, 0},
    {"G3 I1", false, false, false, false, "", true, true, 0},
    {"G2 X3 Y4 I1", false, false, false, false, "", true, true, 5},
    {"G4 P100\nG10\nG11\nG0 X1", false, true, false, false, "", true, true, 1},
    {"G29", false, false, false, false, "", true, false, 0},
    {"G0 X1 X2", false, true, false, false, "", true, false, 0},
    {"G0 x5", false, true, false, false, "", true, false, 0},
    {"G1 x50 y50 E5", true, false, false, false, "", true, false, 0},
    {"G1 X1 Y1 E1\nG1 Y2 x5 E1\nG1 Z1\nG0 X3", false, true, false, false, "", true, false, 0},
    {"G0 X1e3", false, true, false, false, "", true, false, 0},
    {"G0 X-.5 Y+0", false, true, false, false, "", true, true, 0.5},
    {"G0 X10. Y0", false, true, false, false, "", true, true, 10},
    {"G0 X" + std::string(29, '0') + "1.5", false, true, false, false, "", true, true, 1.5},
    {"G0 X" + std::string(30, '0') + "1.5", false, true, false, false, "", true, false, 0},
    {"G0 X1234567890123456", false, true, false, false, "", true, true, 1234567890123456},
    // Words too long to read: unknown where the first word may be a G command.
    {blanks, false, false, false, false, "", true, false, 0},
    {"T" + std::string(300, 'x'), false, false, false, false, "", true, false, 0},
    {std::string(254, ' ') + "G1 X3", false, false, false, false, "", true, false, 0},
    {"G1" + std::string(255, ' ') + "Y3", false, false, false, false, "", true, false, 0},
    {"M117 " + blanks, false, false, false, false, "", false, true, 0},
    {"G0 X3 ;" + blanks, false, true, false, false, "", true, true, 3},
    {blanks + "\nG0 X3", false, true, false, false, "", true, false, 0},
    {"T" + std::string(300, 'x') + "\nG0 X3", false, true, false, false, "", true, false, 0},
    {"G0 X1\nG1 X2 Y2\nG1 X2 Y5 E1\nG1 X9\nG0 Y1", false, true, false, false, "", true, true, 4},
};

constexpr std::size_t bulk = 99;

// The lines before the last as the bulk copy reads them, and those it leaves.
void read_in_bulk(line_classifier& c, std::string_view lines) {
  bulk_marks marks;
  for (std::size_t done = 0; done < lines.size();) {
    done += plain_lines(c, marks, lines.substr(done));
    if (done == lines.size()) break;
    const std::size_t feed = lines.find('\n', done);
    classify(c, lines.substr(done, feed - done));
    done = feed + 1;
  }
}

// The facts of the last line, each line read whole or as a long one in pieces.
line_facts facts_of(line_classifier& c, const row& r, std::size_t piece) {
  prepare_classifier(c, r.g1_rule, true, true);
  classify(c, "G92 X0 Y0");
  line_facts facts;
  const std::size_t last = r.lines.rfind('\n') + 1;  // npos + 1 is 0
  if (piece == bulk) {
    read_in_bulk(c, std::string_view(r.lines).substr(0, last));
    return classify(c, std::string_view(r.lines).substr(last));
  }
  for (std::size_t start = 0; start <= r.lines.size();) {
    const std::size_t end = std::min(r.lines.find('\n', start), r.lines.size());
    const std::string_view line = std::string_view(r.lines).substr(start, end - start);
    if (piece == 0) {
      facts = classify(c, line);
    } else {
      start_long(c);
      for (std::size_t at = 0; at < line.size(); at += piece)
        classify_piece(c, line.substr(at, piece));
      facts = end_long(c);
    }
    start = end + 1;
  }
  return facts;
}

}  // namespace

int main() {
  for (const row& r : rows) {
    for (const std::size_t piece :
         std::initializer_list<std::size_t>{0, 1, 2, 3, 4, 5, 9, 300, bulk}) {
      line_classifier c;  // the fan's speed is a view of what it read
      const line_facts f = facts_of(c, r, piece);
      const bool right = f.travel == r.travel && f.sets_fan == r.sets_fan && f.fan.on == r.fan_on &&
                         f.fan.speed == r.speed && f.motion.moves_xy == r.moves_xy &&
                         f.motion.known == r.known &&
                         (!r.known || std::abs(f.motion.distance - r.distance) < 0.01);
      check(right, "'" + r.lines.substr(0, 40) + "' in pieces of " + std::to_string(piece) +
                       (piece == bulk ? " (the lines before it in bulk)" : ""));
    }
  }
  return test_status("line_classifier");
}
