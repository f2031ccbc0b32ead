#!/bin/sh
# What most users would write instead of tessaran: the same rescale as a perl one-liner that
# edits the files in place (without making the result durable).
exec perl -pi -e '
    if (/<rect>|<item_rect>/ && /^[^\[]*\[([^,]*),([^,]*),([^,]*),([^\]]*)\]/) {
        my @f = ($1, $2, $3, $4);
        my @v = map { /^\s*([+-]?\d+)/ ? $1 : 0 } @f;
        my $t = /<rect>/ ? "rect" : "item_rect";
        $_ = sprintf "<%s>[%d,%d,%d,%d]</%s>\n", $t, int($v[0] * 1024 / 1280),
            int($v[1] * 576 / 720), int($v[2] * 1024 / 1280), int($v[3] * 576 / 720), $t;
    }' -- "$@"
