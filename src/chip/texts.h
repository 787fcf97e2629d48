// The library's own user-visible texts. They are code page 932 bytes whatever
// the compiler's execution character set, so they are spelled as escapes; the
// comment beside each shows what a Japanese system displays.
#pragma once

// 小片にﾌｨｯﾄ
static const char kTextFit[] = "\x8f\xac\x95\xd0\x82\xc9\xcc\xa8\xaf\xc4";
// 小片にﾌｨｯﾄ(ｱｽﾍﾟｸﾄ比保持)
static const char kTextFitAspect[] = "\x8f\xac\x95\xd0\x82\xc9\xcc\xa8\xaf\xc4(\xb1\xbd\xcd\xdf\xb8\xc4\x94\xe4\x95\xdb\x8e\x9d)";
// 画像変更(&C)
static const char kTextChangeImage[] = "\x89\xe6\x91\x9c\x95\xcf\x8dX(&C)";
// スライドショー(&S)
static const char kTextSlideshow[] = "\x83X\x83\x89\x83" "C\x83h\x83V\x83\x87\x81[(&S)";
// ｽﾗｲﾄﾞｼｮｳｰ 設定
static const char kTextSlideshowSettings[] = "\xbd\xd7\xb2\xc4\xde\xbc\xae\xb3\xb0 \x90\xdd\x92\xe8";
// 全画像ﾌｧｲﾙ
static const char kTextAllImages[] = "\x91S\x89\xe6\x91\x9c\xcc\xa7\xb2\xd9";
// 設定項目は有りません
static const char kTextNoSettings[] = "\x90\xdd\x92\xe8\x8d\x80\x96\xda\x82\xcd\x97L\x82\xe8\x82\xdc\x82\xb9\x82\xf1";
// 切り替え時間が 0 です\n1 以上の値を設定して下さい。
static const char kTextZeroInterval[] = "\x90\xd8\x82\xe8\x91\xd6\x82\xa6\x8e\x9e\x8a\xd4\x82\xaa 0 \x82\xc5\x82\xb7\n1 \x88\xc8\x8f\xe3\x82\xcc\x92l\x82\xf0\x90\xdd\x92\xe8\x82\xb5\x82\xc4\x89\xba\x82\xb3\x82\xa2\x81" "B";

static const char kTextCaption[] = "Ovilune";
static const char kTextLoadError[] = "load error";
