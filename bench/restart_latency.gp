# Restart latency as cumulative shares: gnuplot -e "dir='PLOT_FOLDER'; out='PNG'" restart_latency.gp
set terminal pngcairo size 1100,520 noenhanced font "DejaVu Sans,10"
set output out
set title "Restart latency after SIGKILL, until the new process is visible in /proc"
set xlabel "milliseconds (log scale)"
set ylabel "share of restarts"
set logscale x
set xrange [0.5:3000]
set yrange [0:1.02]
set grid xtics ytics mxtics
set key outside right top box
set arrow from 5, graph 0 to 5, graph 1 nohead dashtype 2 lc rgb "#888888"
set arrow from 100, graph 0 to 100, graph 1 nohead dashtype 2 lc rgb "#888888"
set arrow from 250, graph 0 to 250, graph 1 nohead dashtype 2 lc rgb "#888888"
set label "5 ms" at 5, graph 0.04 offset 0.5,0 textcolor rgb "#666666"
set label "100 ms" at 100, graph 0.04 offset 0.5,0 textcolor rgb "#666666"
set label "250 ms" at 250, graph 0.04 offset 0.5,0 textcolor rgb "#666666"
plot dir."/perstando-immediate.dat" using 1:2 with steps lw 2 lc rgb "#9467bd" title "Perstando, restart at once, 1,000 ms slot", \
     dir."/perstando-100.dat" using 1:2 with steps lw 2 lc rgb "#1f77b4" title "Perstando, 100 ms slot", \
     dir."/perstando-1000.dat" using 1:2 with steps lw 2 lc rgb "#17becf" title "Perstando, 1,000 ms slot", \
     dir."/pm2.dat" using 1:2 with steps lw 2 lc rgb "#ff7f0e" title "pm2 (restart_delay 0)", \
     dir."/supervisord.dat" using 1:2 with steps lw 2 lc rgb "#2ca02c" title "supervisord", \
     dir."/monit.dat" using 1:2 with steps lw 2 lc rgb "#d62728" title "monit (set daemon 1)"
