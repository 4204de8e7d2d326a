#!/usr/bin/perl
# A second reader of the backup's .reg file, apart from Wine's and after
# Windows' regedit: hivex's reg_import takes it whole, comments included, and
# finds every key and value its lines hold. Keys go nowhere: its merge is ours.
#   reg_import.pl FILE
use strict;
use warnings;
use Win::Hivex::Regedit;

my ($keys, $values) = (0, 0);
no warnings 'redefine';
*Win::Hivex::Regedit::_merge_node = sub { $keys++; $values += @{$_[3]}; };
open my $fh, '<:raw:encoding(UTF-16)', $ARGV[0] or die "reg_import.pl: cannot read $ARGV[0]: $!\n";
eval { Win::Hivex::Regedit::reg_import($fh, undef); 1 } or die "reg_import.pl: hivex does not take $ARGV[0]: $@";
seek $fh, 0, 0;
my @lines = <$fh>;
my $keyLines = grep { /^\[.*\]\r?$/ } @lines;
my $valueLines = grep { /^("|@=)/ } @lines;
my $comments = grep { /^; [^ ]+=/ } @lines;
die "reg_import.pl: hivex read $keys keys and $values values of $keyLines and $valueLines\n"
    if $keys != $keyLines || $values != $valueLines;
die "reg_import.pl: $ARGV[0] holds no readable line\n" unless $comments;
print "reg_import: $keys keys and $values values, $comments readable lines, read as the file holds them\n";
