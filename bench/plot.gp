# plot.gp -- the benchmark's median throughput and p99 latency, vok_relay beside the plain
# forwarder and the baseline.
set terminal pngcairo size 1100,460 font "sans,10"
set output "bench/results/bench.png"
set datafile separator ","
set multiplot layout 1,2 title "vok\\_relay, a plain forwarder and the C baseline, 4 listeners, medians of alternating runs"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set key top right
set grid ytics
set xtics rotate by -20 noenhanced
set ylabel "datagrams/s delivered to each listener"
set yrange [0:*]
set title "throughput"
plot "bench/results/medians.csv" every ::1 using 2:xtic(1) title "vok\\_relay" lc rgb "#3070b0", \
     "" every ::1 using 3 title "plain forwarder" lc rgb "#80a060", \
     "" every ::1 using 4 title "baseline" lc rgb "#c0c0c0"
set title "paced 20000/s: one-way latency p99"
set ylabel "microseconds"
plot "bench/results/medians.csv" every ::4::4 using 5:xtic(1) title "vok\\_relay" lc rgb "#3070b0", \
     "" every ::4::4 using 6 title "plain forwarder" lc rgb "#80a060"
unset multiplot
